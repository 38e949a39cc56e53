#include "content/file_handle.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/time.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>

#include "core/text.h"

namespace {

namespace fs = std::filesystem;

std::u16string widen(const std::string& utf8)
{
    std::u16string out(utf8.size() + 1, u'\0');
    out.resize(utf8_to_utf16(out.data(), out.size(), utf8.c_str()));
    return out;
}

class FileHandle : public ::testing::Test {
protected:
    void SetUp() override
    {
        char pattern[] = "/tmp/qn-file-handle-XXXXXX";
        ASSERT_NE(mkdtemp(pattern), nullptr);
        dir = pattern;
        std::ofstream(dir / "ten.txt", std::ios::binary) << "0123456789";
        // 6 March 2025 08:05:09.5 UTC
        struct timeval times[2] = {{1741248309, 500000}, {1741248309, 500000}};
        ASSERT_EQ(utimes((dir / "ten.txt").c_str(), times), 0);
        ASSERT_EQ(mkfifo((dir / "pipe").c_str(), 0600), 0);
        file_reset(&f);
    }

    void TearDown() override
    {
        file_reset(&f);
        fs::remove_all(dir);
    }

    std::u16string name(const char* leaf) { return widen((dir / leaf).string()); }

    fs::path dir;
    file_handle f{};
};

TEST_F(FileHandle, ResetLeavesAClosedQuietWrapper)
{
    EXPECT_FALSE(f.is_open);
    EXPECT_EQ(f.h_file, invalid_file);
    EXPECT_EQ(f.quiet, g_file_quiet);
    EXPECT_EQ(f.error, 0u);
}

TEST_F(FileHandle, FailedOpensKeepTheirError)
{
    struct {
        const char* what;
        std::u16string path;
        int error;
    } cases[] = {
        {"missing file", name("missing.txt"), 2},
        {"below a file", name("ten.txt/x"), 20},
        {"name beyond the path limit", u"/" + std::u16string(5000, u'a'), 36},
        {"empty name", u"", 2},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        file_reset(&f);
        EXPECT_EQ(file_open(&f, c.path.c_str(), file_hint_none), c.error);
        EXPECT_FALSE(f.is_open);
        EXPECT_EQ(f.error, (uint32_t)c.error);
        EXPECT_EQ(file_read_info(&f), 2);
        EXPECT_EQ(file_handle_read(&f, nullptr, 0), -1);
    }
}

TEST_F(FileHandle, FileInformationAndPositionedReads)
{
    for (uint32_t hints : {(uint32_t)file_hint_none, (uint32_t)file_hint_random,
                           (uint32_t)(file_hint_unbuffered | file_hint_sequential)}) {
        SCOPED_TRACE(hints);
        file_reset(&f);
        ASSERT_EQ(file_open(&f, name("ten.txt").c_str(), hints), 0);
        EXPECT_EQ(file_open(&f, name("ten.txt").c_str(), hints), -1) << "a second open of an open wrapper";
        ASSERT_EQ(file_read_info(&f), 0);
        EXPECT_EQ(f.size, 10u);
        EXPECT_FALSE(f.is_directory);
        EXPECT_EQ(f.write_time, (1741248309ULL + 11644473600ULL) * 10000000ULL + 5000000ULL);
        if (hints & file_hint_unbuffered) continue; // unbuffered reads need aligned buffers
        char buffer[16] = {};
        f.position = 4;
        EXPECT_EQ(file_handle_read(&f, buffer, 3), 3);
        EXPECT_EQ(std::string(buffer, 3), "456");
        EXPECT_EQ(f.position, 7u);
        EXPECT_EQ(file_handle_read(&f, buffer, sizeof(buffer)), 3);
        EXPECT_EQ(std::string(buffer, 3), "789");
        EXPECT_EQ(file_handle_read(&f, buffer, sizeof(buffer)), 0);
    }
}

TEST_F(FileHandle, DirectoriesOpenAndSayWhatTheyAre)
{
    ASSERT_EQ(file_open(&f, widen(dir.string()).c_str(), file_hint_none), 0);
    ASSERT_EQ(file_read_info(&f), 0);
    EXPECT_TRUE(f.is_directory);
    char buffer[8];
    EXPECT_EQ(file_handle_read(&f, buffer, sizeof(buffer)), -1);
    EXPECT_EQ(f.error, 21u);
}

TEST_F(FileHandle, AFifoWithoutWriterNeverBlocksTheOpen)
{
    ASSERT_EQ(file_open(&f, name("pipe").c_str(), file_hint_none), 0);
    ASSERT_EQ(file_read_info(&f), 0);
    EXPECT_EQ(f.size, 0u);
    EXPECT_FALSE(f.is_directory);
}

TEST_F(FileHandle, MoveHandsOverTheOpenFile)
{
    file_handle variant{};
    file_reset(&variant);
    ASSERT_EQ(file_open(&f, widen(dir.string()).c_str(), file_hint_none), 0);
    ASSERT_EQ(file_open(&variant, name("ten.txt").c_str(), file_hint_none), 0);
    ASSERT_EQ(file_read_info(&variant), 0);
    file_t moved = variant.h_file;
    file_move(&f, &variant);
    EXPECT_FALSE(variant.is_open);
    EXPECT_EQ(variant.h_file, invalid_file);
    file_reset(&variant); // must not close the moved handle
    EXPECT_EQ(f.h_file, moved);
    EXPECT_EQ(f.size, 10u);
    char buffer[10];
    EXPECT_EQ(file_handle_read(&f, buffer, sizeof(buffer)), 10);
    EXPECT_EQ(std::string(buffer, 10), "0123456789");
}

} // namespace
