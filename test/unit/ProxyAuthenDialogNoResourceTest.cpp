// A program without the dialog templates: the dialogs cannot be shown.
#include <gtest/gtest.h>

#include "ProxyAuthenDialog.h"

TEST(ProxyAuthenDialogWithoutTemplate, ShowAnswersMinusOneAndStoresNothing) {
    CProxyAuthenDialog english;
    EXPECT_EQ(english.Show(0), -1);
    EXPECT_EQ(english.GetUsername(), L"");
    CProxyAuthenDialog_Chinese chinese;
    EXPECT_EQ(chinese.Show(1), -1);
    EXPECT_EQ(chinese.GetPassword(), L"");
}
