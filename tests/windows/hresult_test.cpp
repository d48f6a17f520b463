// HRESULT texts on Windows come from the DirectX error library.
#include <gtest/gtest.h>

#include <windows.h>
#include <dxerr9.h>

#include <string>

#include "kolm/hresult_exception.h"

namespace {

TEST(Win32HResult, NamesAndDescriptionsComeFromTheLibrary) {
  const kolm::HResult pointer = static_cast<kolm::HResult>(E_POINTER);
  EXPECT_STREQ(kolm::hresultName(pointer), "E_POINTER");
  EXPECT_STREQ(kolm::hresultDescription(pointer), "Invalid pointer");
  kolm::CHResultException error("Failed to create device.", pointer);
  EXPECT_STREQ(error.what(), "Failed to create device. : E_POINTER : Invalid pointer");
  const kolm::CHResultException copy(error);
  EXPECT_STREQ(copy.what(), error.what());

  // Whatever the library's wording, ours is the library's.
  const kolm::HResult lost = static_cast<kolm::HResult>(0x88760868u);  // D3DERR_DEVICELOST
  EXPECT_STREQ(kolm::hresultName(lost), DXGetErrorString9A(lost));
  EXPECT_STREQ(kolm::hresultDescription(lost), DXGetErrorDescription9A(lost));
  EXPECT_STREQ(kolm::hresultName(static_cast<kolm::HResult>(0x88780096u)), "DSERR_BUFFERLOST");
}

TEST(Win32HResult, UnknownCodes) {
  kolm::CHResultException unknown("x", 0x12345678);
  EXPECT_STREQ(unknown.what(), "x : Unknown : n/a");
  kolm::CHResultException empty(nullptr, static_cast<kolm::HResult>(E_FAIL));
  EXPECT_EQ(std::string(empty.what()).rfind(" : E_FAIL : ", 0), 0u);
}

}  // namespace
