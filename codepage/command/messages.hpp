// Texts and exit statuses shared by both programs.
#pragma once

#include <string_view>

namespace codepage {

// Exit statuses: a failure never reads as success.
inline constexpr int exit_success = 0;
inline constexpr int exit_failure = 1;
inline constexpr int exit_usage = 2;

// Usage lines 2, 4 and 5; lines 1 and 3 are each program's own.
inline constexpr std::string_view usage_command_line = "コマンドライン\n";
inline constexpr std::string_view usage_in = "[in]    元のソースファイルのファイル名\n";
inline constexpr std::string_view usage_out = "[out]   保存先のファイル名\n";

// Messages about one file; "%s" stands for its name as the command line gave it.
inline constexpr std::string_view message_cannot_open = "ファイル\"%s\"が開けません。\n";
inline constexpr std::string_view message_cannot_read = "ファイル\"%s\"が読み込めません。\n";
inline constexpr std::string_view message_cannot_write = "ファイル\"%s\"に書き込めません。\n";
// Follows message_cannot_write where [out] went from its name while being
// replaced (Windows): the temporary file that holds the text is kept.
inline constexpr std::string_view message_text_kept = "変換した内容は\"%s\"にあります。\n";
// An in-place run refuses a file it would garble or lose bytes of; "%llu"
// stands for a line number, which the command puts in before the name.
inline constexpr std::string_view message_already_utf8 = "ファイル\"%s\"はすでにUTF-8です。\n";
inline constexpr std::string_view message_utf16 = "ファイル\"%s\"はUTF-16です。\n";
inline constexpr std::string_view message_not_code_page_932 =
    "ファイル\"%s\"の%llu行目に、コードページ932の文字ではないバイトがあります。\n";

inline constexpr std::string_view message_out_of_memory = "メモリが確保できません。\n";

// A message cut where the file name goes: all of it stands before the name
// when it has no "%s".
struct MessageAroundName {
    std::string_view before;
    std::string_view after;
};

constexpr MessageAroundName split_at_name(std::string_view message) {
    auto const placeholder = message.find("%s");
    if (placeholder == std::string_view::npos) return {message, {}};
    return {message.substr(0, placeholder), message.substr(placeholder + 2)};
}

}  // namespace codepage
