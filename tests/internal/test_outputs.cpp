// test_outputs.cpp: an output that is a symbolic link stays one: the file it
// ends at gets the data, made beside that file and renamed over it, however
// the links are spelt (relative, absolute, chained, dangling, through "..").
#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <fstream>
#include <iterator>
#include <string>

#include "driver/outputs.h"

TEST(OutputLinks, TheTargetGetsTheDataAndTheLinkStays) {
    char made[] = "/tmp/lumivane_outputsXXXXXX";
    ASSERT_NE(mkdtemp(made), nullptr);
    const std::string dir = made;
    ASSERT_EQ(mkdir((dir + "/far").c_str(), 0755), 0);
    std::ofstream(dir + "/far/old.txt") << "old\n";
    const struct { const char *link, *to, *target; } rows[] = {
        {"rel", "far/old.txt", "far/old.txt"},      {"chain", "rel", "far/old.txt"},
        {"dangling", "far/new.txt", "far/new.txt"}, {"far/up", "../far/../up.txt", "up.txt"},
        {"abs", nullptr, "far/abs.txt"}};
    for (const auto &row : rows) {
        SCOPED_TRACE(row.link);
        const std::string link = dir + "/" + row.link, target = dir + "/" + row.target;
        const std::string to = row.to != nullptr ? row.to : target;
        ASSERT_EQ(symlink(to.c_str(), link.c_str()), 0);
        lv::OutputFile out("--summary");
        out.path = link.c_str();
        ASSERT_EQ(out.open(), "");
        const std::string temporary = out.temporary();
        EXPECT_EQ(lv::identity_of(temporary.substr(0, temporary.rfind('/'))),
                  lv::identity_of(target.substr(0, target.rfind('/'))))
            << "made beside the target: " << temporary;
        ASSERT_TRUE(out.finish(std::string(row.link) + "\n", stdout));
        char now[4096] = {};
        EXPECT_EQ(readlink(link.c_str(), now, sizeof now - 1), static_cast<ssize_t>(to.size()));
        EXPECT_EQ(now, to) << "the link stays a link";
        std::ifstream in(target);
        EXPECT_EQ(std::string(std::istreambuf_iterator<char>(in), {}), std::string(row.link) + "\n");
        EXPECT_NE(access(temporary.c_str(), F_OK), 0) << "the temporary file is renamed";
    }
    EXPECT_EQ(std::system(("rm -rf '" + dir + "'").c_str()), 0);
}
