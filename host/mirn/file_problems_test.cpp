// The reasons mirn gives when a save or load fails: path length and text,
// missing or wrong directories, folders and short files, permissions.
#include "host/mirn/file_problems.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>

#include "host/mirn/test_scratch.h"

namespace mirn::cli {
namespace {

using ::testing::HasSubstr;
using ::testing::IsEmpty;

// A path of exactly `bytes` bytes inside the scratch directory.
std::string PathOfLength(const ScratchDir& scratch, std::size_t bytes) {
  std::string path = scratch.Path("");
  path.append(bytes - path.size(), 'n');
  return path;
}

TEST(FileProblems, PathTextIsCheckedBeforeTheFileSystem) {
  ScratchDir scratch;
  for (auto why : {WhyCannotSave, WhyCannotLoad}) {
    EXPECT_EQ(why(""), "the path is empty");
    // mirn hands the library a short name for a long path: no length is refused.
    EXPECT_THAT(why(PathOfLength(scratch, 200)), Not(HasSubstr("long")));
    // Bytes that are not UTF-8 would reach the library as another name; a
    // replacement character spelled out in the name is fine.
    EXPECT_EQ(why(scratch.Path("a\xFF.wav")), "the path is not valid UTF-8");
    EXPECT_EQ(why(scratch.Path("\xC0\xAF.wav")), "the path is not valid UTF-8");
    EXPECT_THAT(why(scratch.Path("\xEF\xBF\xBD.wav")), Not(HasSubstr("UTF-8")));
  }
}

TEST(FileProblems, DirectoriesAndFilesInTheWay) {
  ScratchDir scratch;
  const std::string file = scratch.Write("plain", {1, 2, 3});
  EXPECT_EQ(WhyCannotSave(file + "/a.wav"), file + " is not a directory");

  const std::string dir = scratch.Path("dir");
  std::filesystem::create_directory(dir);
  EXPECT_EQ(WhyCannotLoad(dir), dir + " is a directory");

  // Nothing in the way: a new file in an existing directory, also a bare
  // name in the current directory.
  EXPECT_THAT(WhyCannotSave(scratch.Path("new.wav")), IsEmpty());
  std::filesystem::current_path(dir);
  EXPECT_THAT(WhyCannotSave("new.wav"), IsEmpty());
  EXPECT_EQ(WhyCannotLoad("new.wav"), "there is no file new.wav");

  const std::string none = scratch.Path("none.wav");
  EXPECT_EQ(WhyCannotLoad(none), "there is no file " + none);
  EXPECT_THAT(WhyCannotLoad(scratch.Write("header.wav", std::vector<std::uint8_t>(52))), IsEmpty());
}

TEST(FileProblems, PermissionsOfTheCallingUser) {
  if (geteuid() == 0) GTEST_SKIP() << "root passes every permission check";
  ScratchDir scratch;
  const std::string locked = scratch.Path("locked");
  std::filesystem::create_directory(locked);
  const std::string inside = scratch.Write("locked/a.wav", std::vector<std::uint8_t>(60));
  chmod(inside.c_str(), 0);
  EXPECT_EQ(WhyCannotSave(inside), "no permission to write " + inside);
  EXPECT_EQ(WhyCannotLoad(inside), "no permission to read " + inside);
  chmod(locked.c_str(), S_IRUSR | S_IXUSR);
  EXPECT_EQ(WhyCannotSave(locked + "/new.wav"), "no permission to create files in " + locked);
  chmod(locked.c_str(), 0);
  EXPECT_EQ(WhyCannotLoad(locked + "/a.wav"), "no permission to enter the directory " + locked);
  chmod(locked.c_str(), S_IRWXU);
}

}  // namespace
}  // namespace mirn::cli
