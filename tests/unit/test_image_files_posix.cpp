// Firmware files that only a POSIX system has: a FIFO, a device, a folder
// and a file without read rights are refused for what they are, and none is
// waited on.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <future>

#include "ImageFiles.h"

using namespace qeld;
using namespace qeld::test;
using namespace qeld::test::files;
using namespace std::chrono_literals;

// A FIFO chosen as a firmware file: refused at once for what it is. Opening
// one for reading would wait for a writer forever; the load runs on a thread
// here so that such a fault fails the test instead of hanging it.
TEST(ImageFiles, AFifoIsRefusedAtOnceAndNeverWaitedOn) {
  TempDir tmp;
  Loaded l(tmp);
  for (const std::string name : {"x.hex", "x.bin"}) {
    const std::string path = tmp.path + "/" + name;
    ASSERT_EQ(mkfifo(path.c_str(), 0600), 0);
    auto load = std::async(std::launch::async, [&] { return l.Choose(path); });
    if (load.wait_for(1s) != std::future_status::ready) {
      // Release the hung open so that the test can end, and fail.
      const int fd = open(path.c_str(), O_WRONLY | O_NONBLOCK);
      if (fd >= 0) close(fd);
      load.wait();
      FAIL() << name << ": Write Prog waited on the FIFO";
    }
    EXPECT_NE(load.get().find("\nnot a regular file: it is a FIFO (named pipe)\nNothing was sent."),
              std::string::npos)
        << name;
    l.ExpectUntouched(name);
  }
}

// Folders and devices are refused for what they are; a file that cannot be
// read says so.
TEST(ImageFiles, OtherThingsThanFilesAreRefusedWithTheirKind) {
  TempDir tmp;
  Loaded l(tmp);
  ASSERT_EQ(mkdir((tmp.path + "/dir.hex").c_str(), 0700), 0);
  EXPECT_NE(l.Choose(tmp.path + "/dir.hex").find("\nnot a regular file: it is a folder\n"), std::string::npos);
  l.ExpectUntouched("folder");
  ASSERT_EQ(symlink("/dev/null", (tmp.path + "/null.bin").c_str()), 0);
  EXPECT_NE(l.Choose(tmp.path + "/null.bin").find("\nnot a regular file: it is a character device\n"),
            std::string::npos);
  l.ExpectUntouched("device");
  if (geteuid() != 0) {  // root reads any file whatever its mode
    const std::string locked = tmp.Write("locked.hex", Rec(0, {1}) + "\n" + kEnd);
    ASSERT_EQ(chmod(locked.c_str(), 0), 0);
    EXPECT_NE(l.Choose(locked).find("\ncannot open: Permission denied\n"), std::string::npos) << Box(l.c);
    l.ExpectUntouched("unreadable");
  }
}
