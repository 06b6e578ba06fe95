// version: the built-in version is the VERSION file's number, plus the commit for untagged builds.
#include <gtest/gtest.h>
#include <stdio.h>
#include <string.h>
#include <string>
#include "platform/version.h"

TEST(Version, IsTheVersionFileWithAnOptionalCommit) {
    FILE *f = fopen(VO_VECTORS_DIR "/../../VERSION", "rb");
    ASSERT_NE(f, nullptr);
    char base[64] = {0};
    ASSERT_NE(fgets(base, sizeof base, f), nullptr);
    fclose(f);
    base[strcspn(base, "\r\n ")] = 0;
    std::string v = version_string();
    ASSERT_EQ(v.compare(0, strlen(base), base), 0) << v;
    std::string rest = v.substr(strlen(base));
    if (!rest.empty()) {   // "+g" and the abbreviated commit
        ASSERT_EQ(rest.size(), 12u) << v;
        EXPECT_EQ(rest.compare(0, 2, "+g"), 0) << v;
        EXPECT_EQ(rest.find_first_not_of("0123456789abcdef", 2), std::string::npos) << v;
    }
}
