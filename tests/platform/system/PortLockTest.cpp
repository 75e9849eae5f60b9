// The folder that holds the Bluetooth ports' lock files: another user must not be able
// to put a lock file, or a link in its place, where one of our programs will look.
#include "PortLock.h"
#include "TableRow.h"
#include "TestPort.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <functional>
#include <sys/stat.h>
#include <unistd.h>

namespace fs = std::filesystem;

namespace {

// A private runtime directory, where the lock folder is looked for.
class LockFolderTest : public testing::Test {
protected:
    CTestPortDirectory folders;
    const fs::path base = folders.path();
    CScopedVariable runtime { "XDG_RUNTIME_DIR", base.c_str() };
};

struct FolderCase : CTableRow {
    std::function<void(const fs::path&)> make;
    bool usable;
    bool needsRoot = false;
};

void makeWithMode(const fs::path& folder, mode_t mode)
{
    ASSERT_EQ(::mkdir(folder.c_str(), 0700), 0);
    ASSERT_EQ(::chmod(folder.c_str(), mode), 0);
}

const FolderCase folderCases[] = {
    { "Missing", [](const fs::path&) {}, true },
    { "OursAndPrivate", [](const fs::path& folder) { makeWithMode(folder, 0700); }, true },
    { "OursButOthersMayWrite", [](const fs::path& folder) { makeWithMode(folder, 0703); }, false },
    { "OursButOthersMayLook", [](const fs::path& folder) { makeWithMode(folder, 0755); }, false },
    { "OursButTheGroupMayWrite", [](const fs::path& folder) { makeWithMode(folder, 0770); },
        false },
    { "AnotherUsers",
        [](const fs::path& folder) {
            makeWithMode(folder, 0700);
            ASSERT_EQ(::chown(folder.c_str(), 65534, 65534), 0);
        },
        false, true },
    { "ALinkToAFolderOfOurs",
        [](const fs::path& folder) {
            fs::path real = folder.string() + ".real";
            makeWithMode(real, 0700);
            fs::create_directory_symlink(real, folder);
        },
        false },
    { "AFile",
        [](const fs::path& folder) {
            int fd = ::open(folder.c_str(), O_CREAT | O_WRONLY, 0600);
            ASSERT_GE(fd, 0);
            ::close(fd);
        },
        false },
};

class LockFolderStateTest : public LockFolderTest,
                            public testing::WithParamInterface<FolderCase> { };

TEST_P(LockFolderStateTest, IsUsedOnlyWhenItIsAPrivateDirectoryOfOurs)
{
    const FolderCase& row = GetParam();
    if (row.needsRoot && geteuid() != 0)
        GTEST_SKIP() << "making a folder of another user needs root";
    fs::path folder = base / "serialpads";
    ASSERT_NO_FATAL_FAILURE(row.make(folder));
    EXPECT_EQ(usableLockFolder(folder), row.usable);
    // The preferred folder is passed over for the fallback whenever it is not usable.
    EXPECT_EQ(portLockPath(2).parent_path() == folder, row.usable);
    if (row.usable) {
        struct stat status {};
        ASSERT_EQ(::lstat(folder.c_str(), &status), 0);
        EXPECT_EQ(status.st_mode & 07777, 0700u);
    }
}

INSTANTIATE_TEST_SUITE_P(Folders, LockFolderStateTest, testing::ValuesIn(folderCases), byWhat);

TEST_F(LockFolderTest, ALinkInPlaceOfTheLockFileIsNotFollowed)
{
    fs::path folder = base / "serialpads";
    makeWithMode(folder, 0700);
    fs::path elsewhere = base / "elsewhere";
    fs::create_symlink(elsewhere, folder / "com3.lock");
    COpenFailure failure;
    EXPECT_FALSE(takePortLock(3, failure).valid());
    EXPECT_NE(failure.kind, OpenFailureKind::busy);
    EXPECT_FALSE(fs::exists(fs::symlink_status(elsewhere)))
        << "the lock was taken through the link, making its target";
}

} // namespace
