#include <gtest/gtest.h>

#include <windows.h>
#include <objbase.h>

int main(int argc, char **argv) {
    // The user-interface thread of the program is a single-threaded apartment; so is the
    // thread that runs the tests, which drives the program's windows and dialogs.
    HRESULT com = CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED | COINIT_DISABLE_OLE1DDE);
    testing::InitGoogleTest(&argc, argv);
    int result = RUN_ALL_TESTS();
    if (SUCCEEDED(com))
        CoUninitialize();
    return result;
}
