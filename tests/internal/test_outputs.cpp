// test_outputs.cpp: an output that is a symbolic link stays one: the file it
// ends at gets the data, made beside that file and renamed over it, however
// the links are spelt (relative, absolute, chained, dangling, through "..").
#include <gtest/gtest.h>

#include <dirent.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <fstream>
#include <iterator>
#include <string>

#include "driver/outputs.h"

namespace {

std::string read(const std::string &path) {
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

std::string link_of(const std::string &path) {
    char to[4096];
    const ssize_t n = readlink(path.c_str(), to, sizeof to);
    return n < 0 ? "" : std::string(to, static_cast<size_t>(n));
}

TEST(OutputLinks, TheTargetGetsTheDataAndTheLinkStays) {
    char made[] = "/tmp/lumivane_outputsXXXXXX";
    ASSERT_NE(mkdtemp(made), nullptr);
    const std::string dir = made;
    ASSERT_EQ(mkdir((dir + "/far").c_str(), 0755), 0);
    std::ofstream(dir + "/far/old.txt") << "old\n";
    const struct { const char *link, *to, *target; } rows[] = {
        {"rel", "far/old.txt", "far/old.txt"},          // to an existing file
        {"chain", "rel", "far/old.txt"},                 // through another link
        {"dangling", "far/new.txt", "far/new.txt"},      // to a file not made yet
        {"far/up", "../far/../up.txt", "up.txt"},        // relative to the link's directory
        {"abs", nullptr, "far/abs.txt"}};                // absolute
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
            << "the temporary file is made beside the target: " << temporary;
        ASSERT_TRUE(out.finish(std::string(row.link) + "\n", stdout));
        EXPECT_EQ(link_of(link), to) << "the link stays a link";
        EXPECT_EQ(read(target), std::string(row.link) + "\n");
        EXPECT_EQ(access(temporary.c_str(), F_OK), -1) << "the temporary file is renamed";
    }
    // Two links to one target, or a link and the target's own name, are one file.
    lv::OutputFile a("--trace"), b("--summary");
    const std::string chain = dir + "/chain", through = dir + "/far/../far/old.txt";
    a.path = chain.c_str();
    b.path = through.c_str();
    lv::OutputFile *const both[] = {&a, &b};
    EXPECT_EQ(lv::outputs_problem(both), "--trace and --summary name the same file");
    const std::string cleanup = "rm -rf '" + dir + "'";
    EXPECT_EQ(std::system(cleanup.c_str()), 0);
}

}  // namespace
