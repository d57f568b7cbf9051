// The driver end to end: WinMain runs on the test's thread with its real
// windows, which a second thread drives.
#include <gtest/gtest.h>
#include "harness.h"
#include "porty4.h"

TEST(DriverRun, CopiesAfterYes) {
    RegistrySandbox reg;
    TestDir dir("driver_copy");
    std::string src = dir.file("a.txt", "hello");
    std::string dest = dir.folder("dest");
    touchFolders(dest);
    std::string prompt;
    Driver driver([&] {
        HWND hChooser = waitChooser();
        ASSERT_NE(nullptr, hChooser);
        EXPECT_TRUE(selectFolder(hChooser, dest));
        PostMessageA(chooserCopy(hChooser), BM_CLICK, 0, 0);
        HWND hBox = waitMessageBox();
        ASSERT_NE(nullptr, hBox);
        prompt = messageBoxText(hBox);
        clickId(hBox, IDYES);
    });
    EXPECT_EQ(0, runWinMain("\"" + src + "\""));
    driver.thread.join();
    EXPECT_EQ(dest + "に次のファイル・フォルダをコピーします。よろしいですか\r\n\r\n" + src + "\n",
              prompt);
    EXPECT_EQ("hello", readFile(dir.at("dest\\a.txt")));
}
