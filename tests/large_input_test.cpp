// An input over 4 GiB, converted whole: offsets and sizes past 32 bits.
// Registered with the label "large"; the everyday test run leaves it out.
#include <fcntl.h>
#include <sys/statvfs.h>
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <vector>

#include "command_support.hpp"

namespace {

using namespace command_test;

constexpr std::uint64_t gib = std::uint64_t{1} << 30;

// One line of C with Japanese in a literal and in a comment, in each of the
// forms the programs turn it into.
struct Text {
    std::string_view cp932, txtconv, litconv;
};
constexpr Text text = {
    "s = \"\x93\xFA\x96\x7B\x8C\xEA\xB6\xC5\"; /* \x95\x5C */\n",
    "s = \"日本語ｶﾅ\"; /* 表 */\n",
    "s = \"\\xE6\\x97\\xA5\\xE6\\x9C\\xAC\\xE8\\xAA\\x9E\\xEF\\xBD\\xB6\\xEF\\xBE\\x85\"; /* \x95\x5C */\n",
};

class LargeInput : public CommandTest {
protected:
    // A sparse file of zero bytes with the text at the start, across the
    // 4 GiB mark (a pair cut by it) and at the end.
    static constexpr std::uint64_t size = 4 * gib + 12'345;
    std::vector<std::uint64_t> const places = {0, 4 * gib - 6, size - text.cp932.size()};

    void SetUp() override {
        struct statvfs fs_info {};
        if (statvfs(dir.path().c_str(), &fs_info) != 0 ||
            static_cast<std::uint64_t>(fs_info.f_bavail) * fs_info.f_frsize < size + 2 * gib)
            GTEST_SKIP() << "needs " << (size + 2 * gib) / gib << " GiB free beside " << dir.path();
        UniqueFd const fd(open(path("in").c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0644));
        ASSERT_TRUE(fd);
        ASSERT_EQ(ftruncate(fd.get(), static_cast<off_t>(size)), 0);
        for (std::uint64_t const at : places)
            ASSERT_EQ(pwrite(fd.get(), text.cp932.data(), text.cp932.size(), static_cast<off_t>(at)),
                      static_cast<ssize_t>(text.cp932.size()));
    }

    // Reads the whole output and checks it against the input with every
    // copy of the text replaced by `converted`, behind `preamble`.
    void expect_output(std::string_view preamble, std::string_view converted) {
        UniqueFd const fd(open(path("out").c_str(), O_RDONLY | O_CLOEXEC));
        ASSERT_TRUE(fd);
        std::uint64_t const growth = converted.size() - text.cp932.size();
        std::uint64_t const expected_size = preamble.size() + size + places.size() * growth;
        EXPECT_EQ(fs::file_size(dir / "out"), expected_size);

        // Where each piece of non-zero output begins.
        std::vector<std::pair<std::uint64_t, std::string_view>> pieces = {{0, preamble}};
        for (std::size_t k = 0; k < places.size(); ++k)
            pieces.emplace_back(preamble.size() + places[k] + k * growth, converted);

        std::vector<char> block(1 << 24);
        std::string expected;
        for (std::uint64_t offset = 0; offset < expected_size; offset += block.size()) {
            std::size_t const n = static_cast<std::size_t>(std::min<std::uint64_t>(block.size(), expected_size - offset));
            ASSERT_EQ(pread(fd.get(), block.data(), n, static_cast<off_t>(offset)), static_cast<ssize_t>(n)) << offset;
            expected.assign(n, '\0');
            for (auto const& [at, piece] : pieces) {
                for (std::size_t i = 0; i < piece.size(); ++i)
                    if (at + i >= offset && at + i < offset + n) expected[at + i - offset] = piece[i];
            }
            ASSERT_TRUE(same_bytes({block.data(), n}, expected)) << "in the block at " << offset;
        }
    }
};

TEST_F(LargeInput, TxtconvConvertsItWhole) {
    EXPECT_TRUE(succeeded(run(txtconv_program, {path("in"), path("out")})));
    expect_output("\xEF\xBB\xBF", text.txtconv);
}

TEST_F(LargeInput, LitconvConvertsItWhole) {
    EXPECT_TRUE(succeeded(run(litconv_program, {path("in"), path("out")})));
    expect_output("", text.litconv);
}

}  // namespace
