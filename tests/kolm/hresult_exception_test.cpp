#include <gtest/gtest.h>

#include "kolm/hresult_exception.h"

using kolm::CHResultException;

namespace {

constexpr kolm::HResult kEPointer = static_cast<kolm::HResult>(0x80004003u);

TEST(HResultException, ComposesMessageNameAndDescription) {
  CHResultException error("Failed to create device.", kEPointer);
  EXPECT_STREQ(error.what(), "Failed to create device. : E_POINTER : Invalid pointer");
  EXPECT_EQ(error.hr, kEPointer);
}

TEST(HResultException, ACopyHasTheSameText) {
  try {
    throw CHResultException("Failed to create device.", static_cast<kolm::HResult>(0x88760868u));
  } catch (const CHResultException& caught) {
    CHResultException copy(caught);
    EXPECT_STREQ(copy.what(), caught.what());
    EXPECT_STREQ(copy.what(),
                 "Failed to create device. : D3DERR_DEVICELOST : "
                 "The device has been lost but cannot be reset at this time.");
  }
}

TEST(HResultException, UnknownCodesAndEmptyMessages) {
  CHResultException unknown("x", 0x12345678);
  EXPECT_STREQ(unknown.what(), "x : Unknown : n/a");
  CHResultException empty("", static_cast<kolm::HResult>(0x80004005u));
  EXPECT_STREQ(empty.what(), " : E_FAIL : An undetermined error occurred");
  CHResultException null(nullptr, 0);
  EXPECT_STREQ(null.what(), " : S_OK : The function completed successfully");
}

TEST(HResultException, KnowsTheSoundAndDirect3DCodes) {
  EXPECT_STREQ(kolm::hresultName(static_cast<kolm::HResult>(0x88780096u)), "DSERR_BUFFERLOST");
  EXPECT_STREQ(kolm::hresultName(static_cast<kolm::HResult>(0x8876086Cu)), "D3DERR_INVALIDCALL");
  EXPECT_STREQ(kolm::hresultName(static_cast<kolm::HResult>(0x800401F0u)), "CO_E_NOTINITIALIZED");
  EXPECT_STREQ(kolm::hresultName(static_cast<kolm::HResult>(0x8007000Eu)), "E_OUTOFMEMORY");
  EXPECT_STREQ(kolm::hresultName(static_cast<kolm::HResult>(0x80070057u)), "E_INVALIDARG");
  EXPECT_STREQ(kolm::hresultName(static_cast<kolm::HResult>(0x80004001u)), "E_NOTIMPL");
}

}  // namespace
