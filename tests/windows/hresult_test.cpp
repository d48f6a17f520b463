// HRESULT texts on Windows come from the DirectX error library.
#include <gtest/gtest.h>

#include <windows.h>
#include <dxerr9.h>

#include "kolm/hresult_exception.h"

TEST(Win32HResult, NamesAndDescriptionsComeFromTheLibrary) {
  kolm::CHResultException error("Failed to create device.", static_cast<kolm::HResult>(E_POINTER));
  EXPECT_STREQ(error.what(), "Failed to create device. : E_POINTER : Invalid pointer");
  EXPECT_STREQ(kolm::CHResultException(error).what(), error.what());
  // Whatever the library's wording, ours is the library's.
  const kolm::HResult lost = static_cast<kolm::HResult>(0x88760868u);  // D3DERR_DEVICELOST
  EXPECT_STREQ(kolm::hresultName(lost), DXGetErrorString9A(lost));
  EXPECT_STREQ(kolm::hresultDescription(lost), DXGetErrorDescription9A(lost));
  EXPECT_STREQ(kolm::CHResultException("x", 0x12345678).what(), "x : Unknown : n/a");
}
