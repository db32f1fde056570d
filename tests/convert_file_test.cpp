// The command's driver run in this process, with a converter of the test's
// own: the blocks it hands the converter and how it puts their output
// together, which no program's output shows.
#include <sys/stat.h>

#include <array>
#include <thread>

#include "codepage/command/convert_file.hpp"
#include "codepage/command/messages.hpp"
#include "command_support.hpp"

namespace {

using namespace command_test;
using codepage::Byte;
using codepage::input_block_size;

struct Block {
    std::size_t size;
    bool last;
    bool operator==(Block const&) const = default;
};

std::ostream& operator<<(std::ostream& out, Block const& block) {
    return out << '{' << block.size << (block.last ? ", last}" : "}");
}

// Every byte three times, behind a preamble: as much output as the driver
// makes room for, so that what one block leaves for the next and the room
// around it are used to the full.
constexpr std::size_t growth = 3;
constexpr std::array<Byte, 3> preamble = {'<', '<', '<'};

struct Recorded {
    int status;
    std::vector<Block> blocks;
};

Recorded run_tripling(std::string const& in, std::string const& out) {
    Recorded recorded{};
    codepage::Conversion const conversion{
        .usage = {},
        .mode = codepage::FileMode::binary,
        .preamble = preamble,
        .max_output = [](std::size_t block_size) { return growth * block_size; },
        .convert = [&recorded](std::span<const Byte> bytes, bool last, std::span<Byte> room) {
            recorded.blocks.push_back({bytes.size(), last});
            EXPECT_GE(room.size(), growth * bytes.size());
            for (std::size_t k = 0; k < bytes.size(); ++k)
                room[growth * k] = room[growth * k + 1] = room[growth * k + 2] = bytes[k];
            return growth * bytes.size();
        },
    };
    std::array<char const*, 2> const arguments = {in.c_str(), out.c_str()};
    recorded.status = codepage::run_conversion(arguments, conversion);
    return recorded;
}

// Bytes that differ from their neighbours, so that a piece out of place shows.
std::string text_of_size(std::size_t size) {
    std::string text(size, '\0');
    for (std::size_t k = 0; k < size; ++k) text[k] = static_cast<char>(k * 7 % 251);
    return text;
}

std::string tripled(std::string_view text) {
    std::string out(preamble.begin(), preamble.end());
    for (char const c : text) out.append(growth, c);
    return out;
}

struct Case {
    std::size_t size;
    std::vector<Block> blocks;
};

class ConvertFile : public CommandTest {
protected:
    void expect_blocks(Case const& c, bool through_fifo) {
        std::string const text = text_of_size(c.size);
        Recorded recorded;
        if (through_fifo) {
            fs::remove(dir / "in");
            ASSERT_EQ(mkfifo(path("in").c_str(), 0600), 0);
            bool fed = false;
            std::jthread writer([&] { fed = feed_fifo(dir / "in", text); });
            recorded = run_tripling(path("in"), path("out"));
            writer.join();
            EXPECT_TRUE(fed);
        } else {
            write_file(dir / "in", text);
            recorded = run_tripling(path("in"), path("out"));
        }
        EXPECT_EQ(recorded.status, codepage::exit_success) << c.size;
        EXPECT_EQ(recorded.blocks, c.blocks) << c.size;
        EXPECT_TRUE(same_bytes(read_file(dir / "out"), tripled(text))) << c.size;
        EXPECT_EQ(dir.entries(), (std::vector<std::string>{"in", "out"})) << c.size;
    }
};

TEST_F(ConvertFile, FileSmallerThanABlockIsReadInOne) {
    std::size_t const block = input_block_size;
    for (Case const& c : std::vector<Case>{
             {0, {{0, true}}},
             {1, {{1, true}}},
             {4095, {{4095, true}}},
             {4096, {{4096, true}}},
             {block - 1, {{block - 1, true}}},
         }) {
        expect_blocks(c, false);
    }
}

TEST_F(ConvertFile, LargerFileIsReadInWholeBlocks) {
    // Output beyond several of the aligned writes, with something left over
    // from every block.
    std::size_t const block = input_block_size;
    for (Case const& c : std::vector<Case>{
             {block, {{block, false}, {0, true}}},
             {block + 1, {{block, false}, {1, true}}},
             {5 * block + 7, {{block, false}, {block, false}, {block, false}, {block, false}, {block, false}, {7, true}}},
         }) {
        expect_blocks(c, false);
    }
}

TEST_F(ConvertFile, InputOfUnknownSizeIsReadInWholeBlocks) {
    std::size_t const block = input_block_size;
    for (Case const& c : std::vector<Case>{
             {0, {{0, true}}},
             {100, {{100, true}}},
             {2 * block + 3, {{block, false}, {block, false}, {3, true}}},
         }) {
        expect_blocks(c, true);
    }
}

}  // namespace
