#include <gtest/gtest.h>

#include <string>

#include "korvalite/genicam/literal_text.hpp"

using korvalite::genicam::trim_white_space;

// Blank runs of every length up to past two words on both sides, made of each ASCII blank, around
// texts whose edges are bytes just outside the blank ranges: exactly the runs go.
TEST(TrimWhiteSpace, CutsBlankRunsOfEveryLengthAndNoMore) {
    const std::string blanks[] = {" ", "\t", "\n", "\v", "\f", "\r", " \n\t\r"};
    const std::string cores[] = {"x", "\x08" "a\x0E", "\x1F" "b c!", "\xC2\xB5" "Gain\x7F", "!\x80"};
    for (const std::string& blank : blanks) {
        for (const std::string& core : cores) {
            for (std::size_t before = 0; before <= 19; ++before) {
                for (std::size_t after : {std::size_t{0}, std::size_t{1}, std::size_t{7}, std::size_t{8},
                                          std::size_t{9}, std::size_t{17}}) {
                    std::string text;
                    for (std::size_t i = 0; i < before; ++i) text += blank[i % blank.size()];
                    text += core;
                    for (std::size_t i = 0; i < after; ++i) text += blank[i % blank.size()];
                    EXPECT_EQ(trim_white_space(text), core) << before << " before, " << after << " after";
                }
            }
        }
    }
    for (std::size_t n = 0; n <= 19; ++n) EXPECT_EQ(trim_white_space(std::string(n, ' ')), "") << n;
}
