// Extension strings: names split exactly, looked up exactly, of any length.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "extension_list.h"

TEST(ExtensionList, SplitsOnSpacesWithoutEmptyNames)
{
    std::vector<std::string> names;
    append_extension_names("  GL_A  GL_B GL_C   ", names);
    EXPECT_EQ(names, (std::vector<std::string>{"GL_A", "GL_B", "GL_C"}));
    append_extension_names(nullptr, names);
    append_extension_names("", names);
    append_extension_names("    ", names);
    EXPECT_EQ(names.size(), 3u);
}

TEST(ExtensionList, TakesStringsLongerThanAnyFixedBuffer)
{
    std::string list;
    for (int i = 0; i < 3000; ++i)
        list += "GL_EXT_number_" + std::to_string(i) + " ";
    ASSERT_GT(list.size(), 10240u * 5);
    std::vector<std::string> names;
    append_extension_names(list.c_str(), names);
    ASSERT_EQ(names.size(), 3000u);
    EXPECT_EQ(names.back(), "GL_EXT_number_2999");
}

TEST(ExtensionList, TokenLookupMatchesWholeNamesOnly)
{
    const char* list = "GL_ARB_multi GL_ARB_multitexture_x GL_arb_multitexture GL_ARB_multitexture  ";
    EXPECT_TRUE(has_extension_token(list, "GL_ARB_multitexture"));  // after a shorter prefix token
    EXPECT_TRUE(has_extension_token(list, "GL_ARB_multi"));
    EXPECT_FALSE(has_extension_token("GL_ARB_multitexture_x", "GL_ARB_multitexture"));
    EXPECT_FALSE(has_extension_token("gl_arb_multitexture", "GL_ARB_multitexture"));
    EXPECT_TRUE(has_extension_token("GL_A GL_B   ", "GL_B"));
    EXPECT_FALSE(has_extension_token("", "GL_B"));
    EXPECT_FALSE(has_extension_token(nullptr, "GL_B"));
}
