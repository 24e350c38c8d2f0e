#include "files/zip_file.h"

#include <fcntl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <filesystem>
#include <tuple>

#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <zlib.h>

#include "files/deflate_stream.h"
#include "files/zip_test_reader.h"
#include "platform/error_of_for_test.h"
#include "platform/tpath.h"
#include "platform/zorvane_exception.h"
#include "support/subprocess.h"
#include "support/temp_dir.h"

namespace ZorErrorReporting {
namespace {

using zor::platform::TString;
using zor::test::ErrorOf;
using zor::test::ReadFile;
using zor::test::ReadZipIndependently;
using zor::test::WriteFile;

class ZipFileTest : public ::testing::Test {
 protected:
  // Zips `inputs` (paths under the temp dir) with one and with two deflate
  // threads; expects the same bytes and returns the two-thread archive's path.
  std::string ZipEitherWay(const std::string& name, const std::vector<std::string>& inputs) {
    for (const unsigned threads : {1u, 2u}) {
      ZipFile zip(threads);
      EXPECT_TRUE(zip.Open(TString(dir_.Sub(name + std::to_string(threads) + ".zip"))));
      for (const std::string& input : inputs) zip.Add(TString(dir_.Sub(input)));
      zip.Close();
    }
    EXPECT_TRUE(ReadFile(dir_.Sub(name + "1.zip")) == ReadFile(dir_.Sub(name + "2.zip")));
    return dir_.Sub(name + "2.zip");
  }
  zor::test::ScopedTempDir dir_;
};

// Contents that stress the compressor differently: nothing, a few bytes, one
// byte repeated (long matches) and random bytes (no matches, stored blocks),
// over several deflate blocks, a multiple of one or not. One and
// two deflate threads must write the very same archive. An entry's time is
// its file's last write, in local time, to the even second below.
TEST_F(ZipFileTest, EntriesKeepOrderContentNamesAndTimesWhateverTheThreads) {
  const std::string noise = zor::test::Incompressible(3 * DeflateStream::kBlockSize + 5, 11);
  // The file, its content and its entry's name.
  const std::tuple<std::string, std::string, std::string> files[] = {
      {"a/empty.log", "", "empty.log"},
      {"a/same.txt", "first", "same.txt"},
      // A name already in the archive would unpack over the first.
      {"b/c/same.txt", "second, from another directory", "same-2.txt"},
      {"b/data.dmp", std::string("\x00\x01\xff zip\n\x00", 10), "data.dmp"},
      {"b/repeated.dmp", std::string(3 * DeflateStream::kBlockSize + 17, 'z'), "repeated.dmp"},
      // Ends on a block.
      {"b/two-blocks.dmp", std::string(2 * DeflateStream::kBlockSize, 'y'), "two-blocks.dmp"},
      {"b/random.dmp", noise, "random.dmp"},
      // Names that would unpack elsewhere, or hidden, on some system.
      {"b/..\\..\\evil.dll", "up", "___.._evil.dll"},
      {"b/.hidden.log", "dot", "_hidden.log"},
      {"b/..x\\a.b", "dots", "__x_a.b"},
      // Read back as UTF-8, not as the old DOS code page.
      {"b/caf\xc3\xa9.dmp", "accent", "caf\xc3\xa9.dmp"},
  };
  for (const auto& [path, content, entry] : files) WriteFile(dir_.Sub(path), content);
  // Written to the first files, and as their entries must carry it.
  const std::pair<const char*, const char*> times[] = {
      {"2023-06-15 13:47:31", "2023-06-15 13:47:30"},  // odd second rounds down
      {"2001-12-31 23:59:58", "2001-12-31 23:59:58"},
      {"1999-01-01 00:00:01", "1999-01-01 00:00:00"},
  };
  for (size_t i = 0; i < std::size(times); ++i) {
    std::tm tm{};
    ASSERT_NE(strptime(times[i].first, "%Y-%m-%d %H:%M:%S", &tm), nullptr);
    tm.tm_isdst = -1;
    const timespec both[2] = {{mktime(&tm), 0}, {mktime(&tm), 0}};
    ASSERT_EQ(utimensat(AT_FDCWD, dir_.Sub(std::get<0>(files[i])).c_str(), both, 0), 0);
  }
  // An existing file of the archive's name is replaced, not appended to.
  WriteFile(dir_.Sub("out1.zip"), "not a zip at all");

  std::vector<std::string> inputs;
  for (const auto& [path, content, entry] : files) inputs.push_back(path);
  const std::string out = ZipEitherWay("out", inputs);

  auto listing = ReadZipIndependently(out);
  ASSERT_TRUE(listing.ok) << listing.error;
  ASSERT_EQ(listing.entries.size(), std::size(files));
  for (size_t i = 0; i < std::size(files); ++i) {
    const auto& [path, content, entry] = files[i];
    SCOPED_TRACE(path);
    const auto& e = listing.entries[i];
    EXPECT_EQ(e.name, entry);
    EXPECT_EQ(e.size, content.size());
    EXPECT_TRUE(e.content == content) << "content differs";
    EXPECT_EQ(e.compressType, 8);  // deflate
    EXPECT_EQ(e.localExtractVersion, 45) << "every entry must carry Zip64 records";
    if (i < std::size(times)) {
      char text[32];
      snprintf(text, sizeof text, "%04d-%02d-%02d %02d:%02d:%02d", e.year, e.month, e.day, e.hour,
               e.minute, e.second);
      EXPECT_STREQ(text, times[i].second);
    }
  }
  // A second reader with an inflater and CRC check of its own.
  const std::string test = "unzip -tqq '" + out + "'";
  EXPECT_EQ(std::system(test.c_str()), 0);
}

// Add needs an open archive; an input that cannot be read throws and leaves
// the archive valid.
TEST_F(ZipFileTest, MisuseAndUnreadableInputThrowAndLeaveAValidArchive) {
  WriteFile(dir_.Sub("good.txt"), "kept");
  WriteFile(dir_.Sub("after.txt"), "added after the failure");
  ASSERT_EQ(mkdir(dir_.Sub("a-directory").c_str(), 0755), 0);
  const std::string notOpen = "ZipFile: Add must be called on an opened zipfile!";
  {
    ZipFile zip;
    EXPECT_FALSE(zip.Open(TString(dir_.Sub("missing/out.zip"))));
    EXPECT_FALSE(zip.IsOpen());
    EXPECT_FALSE(std::filesystem::exists(dir_.Sub("missing")));
    EXPECT_EQ(ErrorOf([&] { zip.Add(TString(dir_.Sub("good.txt"))); }), notOpen);

    ASSERT_TRUE(zip.Open(TString(dir_.Sub("partial.zip"))));
    zip.Add(TString(dir_.Sub("good.txt")));
    // A file that vanished, and a directory: the entry is begun for the
    // directory and its read fails, so the partial entry must be closed.
    EXPECT_ANY_THROW(zip.Add(TString(dir_.Sub("vanished.txt"))));
    EXPECT_ANY_THROW(zip.Add(TString(dir_.Sub("a-directory"))));
    EXPECT_TRUE(zip.IsOpen());
    zip.Add(TString(dir_.Sub("after.txt")));
    // No Close: the destructor finishes the archive.
  }
  auto listing = ReadZipIndependently(dir_.Sub("partial.zip"));
  ASSERT_TRUE(listing.ok) << listing.error;
  // The vanished file fails before its entry begins; the directory leaves an
  // empty entry, closed and valid.
  std::vector<std::string> names;
  for (const auto& e : listing.entries) names.push_back(e.name);
  EXPECT_EQ(names, std::vector<std::string>({"good.txt", "a-directory", "after.txt"}));
  EXPECT_EQ(listing.entries.back().content, "added after the failure");

  ZipFile zip;
  ASSERT_TRUE(zip.Open(TString(dir_.Sub("closed.zip"))));
  zip.Close();
  zip.Close();  // a second close is harmless
  EXPECT_EQ(ErrorOf([&] { zip.Add(TString(dir_.Sub("good.txt"))); }), notOpen);
  listing = ReadZipIndependently(dir_.Sub("closed.zip"));
  ASSERT_TRUE(listing.ok) << listing.error;
  EXPECT_TRUE(listing.entries.empty());
}

// A sparse file over 4 GiB compresses to a few MiB but needs Zip64 sizes and
// offsets; a reader that sees a wrapped 32-bit size or a bad CRC fails here.
TEST_F(ZipFileTest, LargeEntryOver4GiBIsReadBack) {
  const unsigned long long kSize = (4ULL << 30) + 12345;
  const std::string big = dir_.Sub("big.dmp");
  int fd = open(big.c_str(), O_CREAT | O_WRONLY | O_CLOEXEC, 0644);
  ASSERT_GE(fd, 0);
  ASSERT_EQ(pwrite(fd, "head", 4, 0), 4);
  ASSERT_EQ(ftruncate(fd, static_cast<off_t>(kSize)), 0);
  ASSERT_EQ(pwrite(fd, "tail", 4, static_cast<off_t>(kSize - 4)), 4);
  close(fd);
  WriteFile(dir_.Sub("small.txt"), "behind the large entry");

  auto listing = ReadZipIndependently(ZipEitherWay("big", {"big.dmp", "small.txt"}));
  ASSERT_TRUE(listing.ok) << listing.error;
  ASSERT_EQ(listing.entries.size(), 2u);
  EXPECT_EQ(listing.entries[0].size, kSize);
  // The CRC of what the reader unpacked, against zlib's over the file's bytes.
  uLong crc = crc32(0, reinterpret_cast<const Bytef*>("head"), 4);
  const std::string zeros(1 << 20, '\0');
  for (unsigned long long left = kSize - 8; left > 0;) {
    const uInt n = static_cast<uInt>(std::min<unsigned long long>(left, zeros.size()));
    crc = crc32(crc, reinterpret_cast<const Bytef*>(zeros.data()), n);
    left -= n;
  }
  crc = crc32(crc, reinterpret_cast<const Bytef*>("tail"), 4);
  EXPECT_EQ(listing.entries[0].crc, crc);
  EXPECT_EQ(listing.entries[1].content, "behind the large entry");
}

// A full disk, for real: the child writes under a file size limit, past
// which writes fail with EFBIG. Whether the limit is met inside an entry or
// only by the central directory, the archive must fail and leave no broken zip
// behind, which would otherwise be encrypted and uploaded.
TEST_F(ZipFileTest, FullDiskLeavesNoArchive) {
  WriteFile(dir_.Sub("in/noise.dmp"), zor::test::Incompressible(256 << 10, 7));
  const auto write = [&](const std::string& path) {
    ZipFile zip;
    if (!zip.Open(path)) return false;
    zip.Add(dir_.Sub("in/noise.dmp"));
    zip.Close();
    return true;
  };
  ASSERT_TRUE(write(dir_.Sub("whole.zip")));
  struct stat whole;
  ASSERT_EQ(stat(dir_.Sub("whole.zip").c_str(), &whole), 0);

  const struct {
    const char* failure;
    rlim_t limit;
  } cases[] = {
      {"cannot write entry 'noise.dmp' to", 4096},
      // One byte short of the whole: the entry fits, the directory does not.
      {"cannot finish", static_cast<rlim_t>(whole.st_size) - 1},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.failure);
    const std::string zip = dir_.Sub("full.zip");
    const auto child = zor::test::RunInChild([&] {
      std::signal(SIGXFSZ, SIG_IGN);
      rlimit limit{};
      getrlimit(RLIMIT_FSIZE, &limit);
      limit.rlim_cur = c.limit;
      if (setrlimit(RLIMIT_FSIZE, &limit) != 0) return 3;
      try {
        return write(zip) ? 0 : 2;
      } catch (const zor::platform::ZorvaneException& e) {
        std::printf("%s", e.what());
        return 1;
      }
    });
    EXPECT_EQ(child.status, 1) << child.out << child.err;
    EXPECT_THAT(child.out, ::testing::HasSubstr(std::string(c.failure) + " '" + zip + "'"));
    EXPECT_THAT(child.out, ::testing::HasSubstr("File too large"));
    EXPECT_FALSE(std::filesystem::exists(zip));
  }
}

}  // namespace
}  // namespace ZorErrorReporting
