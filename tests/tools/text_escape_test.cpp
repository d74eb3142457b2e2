// SPDX-License-Identifier: MIT
// Device-supplied text on its way to a terminal or a JSON reader.
#include <gtest/gtest.h>

#include "text_escape.h"

using kine_tools::jsonString;
using kine_tools::shownText;

TEST(TextEscape, TerminalNeverSeesControlBytesOrBrokenUtf8) {
    EXPECT_EQ(shownText("A1B2 34 v0.9"), "A1B2 34 v0.9");
    EXPECT_EQ(shownText("\x1b]0;X\x07"), "\\x1b]0;X\\x07");
    EXPECT_EQ(shownText("\xff\xfe"
                        "ab"),
              "\\xff\\xfeab");
    EXPECT_EQ(shownText("a\\b\x7f"), "a\\x5cb\\x7f");
    EXPECT_EQ(shownText("\xc3\xa9t\xc3\xa9"), "\xc3\xa9t\xc3\xa9");  // é stays
    EXPECT_EQ(shownText("\xc2\x9b"
                        "31m"),
              "\\xc2\\x9b31m");                               // C1 CSI
    EXPECT_EQ(shownText("\xc0\xaf"), "\\xc0\\xaf");           // overlong '/'
    EXPECT_EQ(shownText("\xed\xa0\x80"), "\\xed\\xa0\\x80");  // surrogate
    EXPECT_EQ(shownText("\xe2\x82"), "\\xe2\\x82");           // cut short
}

TEST(TextEscape, JsonIsAlwaysValidUtf8) {
    EXPECT_EQ(jsonString("34 v0.9"), "\"34 v0.9\"");
    EXPECT_EQ(jsonString("a\"b\\c"), "\"a\\\"b\\\\c\"");
    EXPECT_EQ(jsonString("\x1b]0;X\x07"), "\"\\u001b]0;X\\u0007\"");
    EXPECT_EQ(jsonString("\xff\xfe"), "\"\\u00ff\\u00fe\"");
    EXPECT_EQ(jsonString("\xe2\x82\xac"), "\"\xe2\x82\xac\"");  // € stays
    EXPECT_EQ(jsonString(std::string("a\0b", 3)), "\"a\\u0000b\"");
}
