// transfer() as the driver calls it, for a test program that compiles the
// driver module itself (porty4.cpp, included first): in a registry sandbox,
// with the shell's operation pfnOp, the options, the list (newline-ended)
// and the destination. Returns the run's exit status.
#pragma once
#include <gtest/gtest.h>
#include <string.h>
#include <string>

static int runTransfer(DWORD dwFlags, const std::string &list, const std::string &dest,
                       int(WINAPI *pfnOp)(LPSHFILEOPSTRUCTA) = SHFileOperationA) {
    RegistrySandbox reg;
    Settings settings = {};
    EXPECT_EQ(ERROR_SUCCESS, readReg(&settings));
    settings.dwFlags = dwFlags;
    Str files = {}, target = {};
    assignStr(&files, list.c_str());
    assignStr(&target, dest.c_str());
    resize(&target, PATH_BYTES); // the shell reads two NULs
    memset(target.buffer + target.length, 0, target.capacity - target.length);
    pfnFileOperation = pfnOp;
    int nStatus = transfer(&settings, &files, &target);
    pfnFileOperation = SHFileOperationA;
    RegCloseKey(settings.hKey);
    freeStr(&files);
    freeStr(&target);
    return nStatus;
}
