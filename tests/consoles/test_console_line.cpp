// The consoles' input lines: splitting, atoi-like numbers, command decoding and line reading with
// its length limit, on ordinary and hostile input.
#include <gtest/gtest.h>

#include <cstdint>
#include <cstdio>
#include <limits>
#include <random>
#include <string>
#include <vector>

#include "console_line.hpp"

namespace {

using kor_console::CommandKind;
using kor_console::decode_command;
using kor_console::LineStatus;
using kor_console::parse_number;
using kor_console::split_words;

constexpr int32_t kMax = std::numeric_limits<int32_t>::max();
constexpr int32_t kMin = std::numeric_limits<int32_t>::min();

// Every line read_line gives for input, with "<too long>" for a refused one.
std::vector<std::string> read_all(const std::string &input, std::size_t max_chars) {
    std::vector<std::string> lines;
    std::FILE *in = fmemopen(const_cast<char *>(input.data()), input.size(), "r");
    if (in == nullptr) {
        ADD_FAILURE() << "fmemopen failed";
        return lines;
    }
    std::string line;
    for (;;) {
        const LineStatus status = kor_console::read_line(in, max_chars, line);
        if (status == LineStatus::end_of_input) {
            break;
        }
        lines.push_back(status == LineStatus::too_long ? "<too long>" : line);
    }
    std::fclose(in);
    return lines;
}

TEST(ConsoleLineWords, SplitsAtAnyBlankAndKeepsThreeWords) {
    const auto words = split_words("  w\t5   70000 extra words\r");
    ASSERT_EQ(words.count, 3u);
    EXPECT_EQ(words.word[0], "w");
    EXPECT_EQ(words.word[1], "5");
    EXPECT_EQ(words.word[2], "70000");

    EXPECT_EQ(split_words("").count, 0u);
    EXPECT_EQ(split_words(" \t\r\n\v\f").count, 0u);

    // A NUL byte in the input separates words rather than ending the line early.
    const auto nul =
        split_words(std::string("r\0"
                                "12",
                                4));
    ASSERT_EQ(nul.count, 2u);
    EXPECT_EQ(nul.word[1], "12");
}

TEST(ConsoleLineNumbers, ReadLikeAtoiAndSaturate) {
    EXPECT_EQ(parse_number("42"), 42);
    EXPECT_EQ(parse_number("-7"), -7);
    EXPECT_EQ(parse_number("+5"), 5);
    EXPECT_EQ(parse_number("12abc"), 12);
    EXPECT_EQ(parse_number("0x10"), 0);
    EXPECT_EQ(parse_number("abc"), 0);
    EXPECT_EQ(parse_number(""), 0);
    EXPECT_EQ(parse_number("-"), 0);
    EXPECT_EQ(parse_number("2147483647"), kMax);
    EXPECT_EQ(parse_number("2147483648"), kMax);
    EXPECT_EQ(parse_number("-2147483648"), kMin);
    EXPECT_EQ(parse_number("-2147483649"), kMin);
    EXPECT_EQ(parse_number("99999999999999999999999999999999"), kMax);
    EXPECT_EQ(parse_number("-99999999999999999999999999999999"), kMin);
}

TEST(ConsoleLineCommands, DecodesReadWriteUpdateHelpQuit) {
    auto c = decode_command("r 5", "rwuh!");
    EXPECT_EQ(c.kind, CommandKind::read);
    EXPECT_EQ(c.address, 5);
    EXPECT_FALSE(c.refusal);

    // Only the first character of the first word counts.
    c = decode_command("write 5 70000 ignored", "rw!");
    EXPECT_EQ(c.kind, CommandKind::write);
    EXPECT_EQ(c.address, 5);
    EXPECT_EQ(c.value, 70000);
    EXPECT_FALSE(c.refusal);

    c = decode_command("u /tmp/fw.bin\n", "rwuh!");
    EXPECT_EQ(c.kind, CommandKind::update);
    EXPECT_EQ(c.file, "/tmp/fw.bin");

    EXPECT_EQ(decode_command("h", "rwuh!").kind, CommandKind::help);
    EXPECT_EQ(decode_command("!", "rwuh!").kind, CommandKind::quit);
    EXPECT_EQ(decode_command("!! now", "rw!").kind, CommandKind::quit);
}

TEST(ConsoleLineCommands, UnknownEmptyAndForeignCommandsAreInvalid) {
    EXPECT_EQ(decode_command("", "rwuh!").kind, CommandKind::invalid);
    EXPECT_EQ(decode_command("   \t", "rwuh!").kind, CommandKind::invalid);
    EXPECT_EQ(decode_command("x 1 2", "rwuh!").kind, CommandKind::invalid);
    EXPECT_EQ(decode_command("R 1", "rwuh!").kind, CommandKind::invalid);
    // The register console has no update and no help.
    EXPECT_EQ(decode_command("u fw.bin", "rw!").kind, CommandKind::invalid);
    EXPECT_EQ(decode_command("h", "rw!").kind, CommandKind::invalid);
}

TEST(ConsoleLineCommands, MissingArgumentsAreNamedNotDefaulted) {
    auto c = decode_command("r", "rw!");
    EXPECT_EQ(c.kind, CommandKind::read);
    ASSERT_TRUE(c.refusal);
    EXPECT_EQ(*c.refusal, "Missing register address");

    c = decode_command("w", "rw!");
    ASSERT_TRUE(c.refusal);
    EXPECT_EQ(*c.refusal, "Missing register address");

    c = decode_command("w 5   ", "rw!");
    ASSERT_TRUE(c.refusal);
    EXPECT_EQ(*c.refusal, "Missing value");

    c = decode_command("u\n", "rwuh!");
    ASSERT_TRUE(c.refusal);
    EXPECT_EQ(*c.refusal, "Missing file name");

    // Registers are numbered 0-65535, and a range must end there too.
    EXPECT_EQ(*decode_command("w 70000 5", "rw!").refusal,
              "Register address 70000 out of range 0-65535");
    EXPECT_EQ(*decode_command("r -1", "rw!").refusal, "Register address -1 out of range 0-65535");
    EXPECT_FALSE(decode_command("r 65535", "rw!").refusal);
    EXPECT_EQ(kor_console::register_range_refusal(65530, 7),
              "Registers 65530 to 65536 out of range 0-65535");
    EXPECT_FALSE(kor_console::register_range_refusal(65530, 6));

    // A word that is not a number is still a word: it reads as atoi does.
    c = decode_command("w abc def", "rw!");
    EXPECT_FALSE(c.refusal);
    EXPECT_EQ(c.address, 0);
    EXPECT_EQ(c.value, 0);
}

TEST(ConsoleLineReading, SplitsInputIntoLines) {
    EXPECT_EQ(read_all("r 5\nw 1 2\n", 127), (std::vector<std::string>{"r 5", "w 1 2"}));
    EXPECT_EQ(read_all("", 127), std::vector<std::string>{});
    EXPECT_EQ(read_all("\n\n", 127), (std::vector<std::string>{"", ""}));
    // A last line without its newline still counts.
    EXPECT_EQ(read_all("r 5\n!", 127), (std::vector<std::string>{"r 5", "!"}));
    // A terminal's CR stays in the line and splits away as a blank.
    const auto crlf = read_all("w 5 7\r\n", 127);
    ASSERT_EQ(crlf.size(), 1u);
    EXPECT_EQ(decode_command(crlf[0], "rw!").value, 7);
}

TEST(ConsoleLineReading, OverLongLinesAreRefusedWholeAndTheirTailIsNoCommand) {
    const std::string exact(127, 'r');
    EXPECT_EQ(read_all(exact + "\n", 127), std::vector<std::string>{exact});

    // The tail past the limit would read as a write if it were taken as a line of its own.
    const std::string over = std::string(127, ' ') + "w 5 77\n";
    EXPECT_EQ(read_all(over + "r 5\n", 127), (std::vector<std::string>{"<too long>", "r 5"}));
    EXPECT_EQ(read_all(std::string(256, 'x') + "\nr 1\n", 255),
              (std::vector<std::string>{"<too long>", "r 1"}));

    // A huge line, and one cut off by the end of input.
    EXPECT_EQ(read_all(std::string(1 << 20, 'w') + "\n!\n", 255),
              (std::vector<std::string>{"<too long>", "!"}));
    EXPECT_EQ(read_all(std::string(300, 'w'), 255), std::vector<std::string>{"<too long>"});
}

TEST(ConsoleLineReading, RandomBytesNeverYieldAnUnrequestedAction) {
    std::mt19937 random(20261208);
    std::uniform_int_distribution<int> byte(0, 255);
    std::uniform_int_distribution<int> length(0, 400);
    for (int round = 0; round < 2000; ++round) {
        std::string input(static_cast<std::size_t>(length(random)), '\0');
        for (auto &c : input) {
            c = static_cast<char>(byte(random));
        }
        for (const auto &line : read_all(input, 255)) {
            ASSERT_LE(line.size(), 255u);
            const auto command = decode_command(line, "rwuh!");
            const auto words = split_words(line);
            if (command.kind == CommandKind::invalid) {
                continue;
            }
            ASSERT_GE(words.count, 1u);
            ASSERT_EQ(command.kind == CommandKind::quit, words.word[0][0] == '!');
            if (command.kind == CommandKind::update && !command.refusal) {
                ASSERT_FALSE(command.file.empty());
                ASSERT_EQ(command.file.find_first_of(std::string(" \t\r\n\0", 5)),
                          std::string::npos);
            }
        }
    }
}

}  // namespace
