// The drive list: order, whole-record copies, and zeroed records for every index outside the list.
#include "catalogue/DriveList.h"

#include <gtest/gtest.h>

#include <cstring>

namespace kestrix {
namespace {

_DEVICE_INFO Record(int32_t drive, uint8_t fill) {
  _DEVICE_INFO r{};
  r.nPhysicalDrive = drive;
  std::memset(r.IdentifyData, fill, sizeof(r.IdentifyData));
  r.DiskLength = int64_t{1} << 40;
  return r;
}

bool IsZero(const _DEVICE_INFO& r) {
  static const _DEVICE_INFO zero{};
  return std::memcmp(&r, &zero, sizeof r) == 0;
}

TEST(DriveListTest, KeepsDiscoveryOrderAndCopiesWholeRecords) {
  DriveList list;
  ASSERT_TRUE(list.Append(Record(0, 0xA0)));
  ASSERT_TRUE(list.Append(Record(2, 0xA2)));
  EXPECT_EQ(list.Count(), 2);

  _DEVICE_INFO out;
  std::memset(&out, 0xEE, sizeof out);
  ASSERT_TRUE(list.CopyOut(0, &out));
  const _DEVICE_INFO first = Record(0, 0xA0);
  EXPECT_EQ(std::memcmp(&out, &first, sizeof out), 0);
  ASSERT_TRUE(list.CopyOut(1, &out));
  EXPECT_EQ(out.nPhysicalDrive, 2);
  EXPECT_EQ(out.IdentifyData[511], 0xA2);
}

TEST(DriveListTest, IndexOutsideTheListYieldsZeroRecord) {
  DriveList list;
  list.Append(Record(1, 0x11));
  for (const int32_t index : {-1, INT32_MIN, 1, 2, INT32_MAX}) {
    _DEVICE_INFO out;
    std::memset(&out, 0xEE, sizeof out);
    EXPECT_FALSE(list.CopyOut(index, &out)) << index;
    EXPECT_TRUE(IsZero(out)) << index;
  }
}

TEST(DriveListTest, NeverHoldsTwoRecordsForOneDriveAndEmptiesCompletely) {
  DriveList list;
  ASSERT_TRUE(list.Append(Record(3, 1)));
  EXPECT_FALSE(list.Append(Record(3, 2)));
  EXPECT_EQ(list.Count(), 1);

  list.Empty();
  EXPECT_EQ(list.Count(), 0);
  _DEVICE_INFO out;
  EXPECT_FALSE(list.CopyOut(0, &out));
  EXPECT_TRUE(list.Append(Record(3, 2)));  // a rebuilt list takes the drive again
}

}  // namespace
}  // namespace kestrix
