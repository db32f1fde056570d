// Throughput of the two inner loops, with no files and no system calls:
// txtconv's decoder (decode_to_utf8) and litconv's scanner (escape_chunk),
// each fed 64 KiB blocks as the programs feed them.
//
// The texts are made here, one per kind of input: Japanese prose (about 41%
// of the bytes from 0x80 up), C source with Japanese in literals and
// comments (about 10%), and plain ASCII C source. With BENCH_CORPUS_DIR set
// to the directory of bench/make_corpora.py, its 10 MB corpora are used
// instead.
//
//   cmake -S . -B build-bench -DCP932TOOLS_BENCHMARKS=ON && cmake --build build-bench -j2
//   BENCH_CORPUS_DIR=/tmp/corpora build-bench/bench/kernel_bench --benchmark_repetitions=5
#include <benchmark/benchmark.h>

#include <cstdlib>
#include <fstream>
#include <iterator>
#include <random>
#include <string>
#include <vector>

#include "codepage/command/convert_file.hpp"
#include "codepage/cp932/cp932.hpp"
#include "litconv/escape_chunk.hpp"

namespace {

using codepage::Byte;

constexpr std::size_t text_size = 8 << 20;

class TextMaker {
public:
    explicit TextMaker(unsigned seed) : random_(seed) {}

    // Kana and the most common kanji, as a Japanese text mostly uses.
    void japanese(std::string& out, std::size_t characters) {
        for (std::size_t k = 0; k < characters; ++k) {
            unsigned const r = pick(100);
            unsigned code = r < 45 ? 0x829F + pick(0x53)                       // hiragana
                            : r < 55 ? 0x8340 + pick(0x3F)                     // katakana
                            : r < 60 ? 0x8141 + pick(0x3B)                     // punctuation
                                     : 0x889F + pick(0x10) * 0x100 + pick(0x5E);  // kanji
            if ((code & 0xFF) == 0x7F) ++code;
            out += static_cast<char>(code >> 8);
            out += static_cast<char>(code & 0xFF);
        }
    }

    void ascii_words(std::string& out, std::size_t bytes) {
        static constexpr std::string_view words[] = {"the ", "file ", "\\fB\\-a\\fR, ", "(FILE) ", "size ",
                                                     "42 ",  "GNU ",  "option ",       "--all ", "0x5C "};
        for (std::size_t start = out.size(); out.size() - start < bytes;) out += words[pick(std::size(words))];
    }

    std::string prose() {
        std::string text;
        while (text.size() < text_size) {
            japanese(text, 4 + pick(30));
            ascii_words(text, 4 + pick(80));
            if (pick(3) == 0) text += '\n';
        }
        return text;
    }

    std::string c_source(bool with_japanese) {
        std::string text = "#include <stdio.h>\n\n";
        while (text.size() < text_size) {
            unsigned const r = pick(100);
            if (r < 12) {
                text += "    printf(\"";
                literal(text, with_japanese);
                text += ": %d\\n\", value_" + std::to_string(pick(999)) + ");\n";
            } else if (r < 18) {
                text += "    puts(\"";
                literal(text, with_japanese);
                text += "\");\n";
            } else if (r < 24) {
                text += "    /* ";
                literal(text, with_japanese);
                text += " */\n";
            } else if (r < 26) {
                text += "    wprintf(L\"";
                literal(text, with_japanese);
                text += "\\n\");\n";
            } else {
                text += "    count_" + std::to_string(pick(99)) + " += table[index_" + std::to_string(pick(99)) +
                        " & 0x5C] * " + std::to_string(pick(64)) + ";\n";
            }
        }
        return text;
    }

private:
    unsigned pick(std::size_t n) { return static_cast<unsigned>(random_() % n); }

    void literal(std::string& out, bool with_japanese) {
        if (with_japanese) {
            japanese(out, 3 + pick(14));
            if (pick(2) == 0) out += "ABC";
        } else {
            ascii_words(out, 8 + pick(30));
        }
    }

    std::mt19937 random_;
};

std::string read_file(std::string const& path) {
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

enum class Kind { prose, c_source, ascii, wide };  // wide: only when BENCH_CORPUS_DIR has it

std::string const& text_of(Kind kind) {
    static std::string texts[4];
    std::string& text = texts[static_cast<int>(kind)];
    if (!text.empty()) return text;
    if (char const* dir = std::getenv("BENCH_CORPUS_DIR")) {
        static constexpr char const* names[] = {"/prose-10m.txt", "/csource-10m.c", "/ascii-10m.c", "/wide-10m.c"};
        text = read_file(std::string(dir) + names[static_cast<int>(kind)]);
        if (!text.empty()) return text;
    }
    TextMaker maker(932);
    text = kind == Kind::prose ? maker.prose() : maker.c_source(kind != Kind::ascii);
    return text;
}

// Runs `convert(in, last, out)` over the text in blocks of the programs' size.
template <typename Converter>
void run_blocks(benchmark::State& state, Kind kind, std::size_t out_size, Converter convert) {
    std::string const& text = text_of(kind);
    std::span<const Byte> const bytes(reinterpret_cast<const Byte*>(text.data()), text.size());
    std::vector<Byte> out(out_size);
    std::size_t non_ascii = 0;
    for (Byte b : bytes) non_ascii += b >= 0x80;
    for (auto _ : state) {
        std::size_t written = 0;
        for (std::size_t offset = 0; offset < bytes.size(); offset += codepage::input_block_size) {
            auto const block = bytes.subspan(offset, std::min(codepage::input_block_size, bytes.size() - offset));
            written += convert(block, offset + block.size() == bytes.size(), std::span<Byte>(out));
        }
        benchmark::DoNotOptimize(written);
        benchmark::ClobberMemory();
    }
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * bytes.size()));
    state.counters["non_ascii_%"] = 100.0 * static_cast<double>(non_ascii) / static_cast<double>(bytes.size());
}

void decode(benchmark::State& state, Kind kind) {
    codepage::Decoder decoder;
    run_blocks(state, kind, codepage::max_utf8_length(codepage::input_block_size),
               [&](std::span<const Byte> in, bool last, std::span<Byte> out) {
                   return codepage::decode_to_utf8(decoder, in, last, out);
               });
}

void escape(benchmark::State& state, Kind kind) {
    litconv::Escaper escaper;
    run_blocks(state, kind, litconv::max_escaped_length(codepage::input_block_size),
               [&](std::span<const Byte> in, bool last, std::span<Byte> out) {
                   return litconv::escape_chunk(escaper, in, last, out);
               });
}

// On a busy machine run with --benchmark_repetitions=N and read the medians.
#define KERNEL_BENCHMARK(kernel, kind) BENCHMARK_CAPTURE(kernel, kind, Kind::kind)->Unit(benchmark::kMillisecond)

KERNEL_BENCHMARK(decode, prose);
KERNEL_BENCHMARK(decode, c_source);
KERNEL_BENCHMARK(decode, ascii);
KERNEL_BENCHMARK(escape, prose);
KERNEL_BENCHMARK(escape, c_source);
KERNEL_BENCHMARK(escape, ascii);
KERNEL_BENCHMARK(escape, wide);

}  // namespace

BENCHMARK_MAIN();
