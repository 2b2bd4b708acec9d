// Which member names may become files: the characters Windows refuses and
// the device names it reserves, as Windows reads them (case ignored, any
// extension, spaces before it, superscript port numbers).
#include <gtest/gtest.h>

#include <string>

#include "plugin/filename.h"

namespace {

std::u16string W(const char* s) {
    std::u16string out;
    for (; *s; ++s) out += (char16_t)(unsigned char)*s;
    return out;
}

TEST(IsPlainFileName, DevicesAndRefusedCharacters) {
    const struct {
        std::u16string name;
        bool plain;
    } rows[] = {
        {W("pic.png"), true},
        {W("CONSOLE.txt"), true},
        {W("COM10"), true},
        {W("LPT"), true},
        {W("xCON"), true},
        {W(" CON"), true},  // a leading space is part of the name
        {W("NULL.txt"), true},
        {W("CON"), false},
        {W("con"), false},
        {W("Con.txt"), false},
        {W("CON.tar.gz"), false},
        {W("CON .txt"), false},
        {W("CON  .log"), false},
        {W("CON..txt"), false},
        {W("PRN"), false},
        {W("aux.png"), false},
        {W("nul"), false},
        {W("CONIN$"), false},
        {W("conout$.txt"), false},
        {W("COM0"), false},
        {W("COM1 .log"), false},
        {W("com9.jpg"), false},
        {W("LPT0"), false},
        {W("lpt5.txt"), false},
        {u"COM\u00B9", false},
        {u"LPT\u00B2.txt", false},
        {u"COM\u00B3 .x", false},
        {u"COM\u2074", true},  // superscript four names no device
        {W("a<b"), false},
        {W("a:b"), false},
        {W("a\\b"), false},
        {W("a/b"), false},
        {W("a?"), false},
        {W("a*"), false},
        {W("a|b"), false},
        {W("a\"b"), false},
        {W("tab\there"), false},
        {W("dot."), false},
        {W("space "), false},
        {W(""), false},
        {u"\u65e5\u672c.jpg", true},
    };
    for (const auto& r : rows) {
        std::string shown(r.name.begin(), r.name.end());
        EXPECT_EQ(r.plain, IsPlainFileName(reinterpret_cast<const WCHAR*>(r.name.c_str())))
            << "[" << shown << "]";
    }
    EXPECT_FALSE(IsPlainFileName(NULL));
}

}  // namespace
