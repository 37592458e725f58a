// SPDX-License-Identifier: MIT
#include <gtest/gtest.h>
#include <string.h>

#include <map>
#include <set>

#include "keys/card_key_table.h"
#include "support/host_fakes.h"
#include "support/platform_control.h"
#include "support/test_module.h"

namespace {

struct Row {
  uint32_t code;
  const char* name;
  const char* alias;
};

// The card's remote, in stored order.
const Row kExpected[] = {
    {0x25BF, "Key_TV/FM", ""},
    {0x253F, "Key_CD", ""},
    {0x27BF, "Key_Power", "Power"},
    {0x1C3F, "Key_1", "1"},
    {0x143F, "Key_2", "2"},
    {0x0C3F, "Key_3", "3"},
    {0x043F, "Key_Video", ""},
    {0x1CBF, "Key_4", "4"},
    {0x14BF, "Key_5", "5"},
    {0x0CBF, "Key_6", "6"},
    {0x04BF, "Key_Audio", ""},
    {0x1D3F, "Key_7", "7"},
    {0x153F, "Key_8", "8"},
    {0x0D3F, "Key_9", "9"},
    {0x053F, "Key_FullScreen", ""},
    {0x1DBF, "Key_0", "0"},
    {0x15BF, "Key_Display", ""},
    {0x0DBF, "Key_Color", ""},
    {0x05BF, "Key_Loop", ""},
    {0x1E3F, "Key_Enter", "Enter"},
    {0xD63F, "Key_Left", "Left"},
    {0xCE3F, "Key_Right", "Right"},
    {0x063F, "Key_Preview", ""},
    {0x1EBF, "Key_AutoScan", ""},
    {0x16BF, "Key_Freeze", ""},
    {0x0EBF, "Key_Capture", ""},
    {0x06BF, "Key_Mute", "Mute"},
    {0x1F3F, "Key_Red", ""},
    {0xD73F, "Key_VolumeDown", "VolumeDown"},
    {0xCF3F, "Key_VolumeUp", "VolumeUp"},
    {0x073F, "Key_Yellow", ""},
    {0x1FBF, "Key_Green", ""},
    {0xD7BF, "Key_ChannelDown", "ChannelDown"},
    {0xCFBF, "Key_ChannelUp", "ChannelUp"},
    {0x07BF, "Key_Cyan", ""},
};

bool ZeroFilledAfterText(const char (&field)[32]) {
  size_t length = strnlen(field, sizeof field);
  if (length == sizeof field) return false;  // no terminator
  for (size_t i = length; i < sizeof field; ++i) {
    if (field[i] != 0) return false;
  }
  return true;
}

TEST(CardKeyTable, HoldsTheCardsThirtyFiveKeysInStoredOrder) {
  ASSERT_EQ(kCardKeyCount, 35);
  ASSERT_EQ(sizeof kExpected / sizeof kExpected[0], 35u);
  std::set<uint32_t> codes;
  for (int i = 0; i < kCardKeyCount; ++i) {
    const RemoteKey& row = CardKeyTable[i];
    SCOPED_TRACE(kExpected[i].name);
    EXPECT_EQ(row.code, kExpected[i].code);
    EXPECT_STREQ(row.name, kExpected[i].name);
    EXPECT_STREQ(row.alias, kExpected[i].alias);
    EXPECT_EQ(strncmp(row.name, "Key_", 4), 0);
    EXPECT_TRUE(ZeroFilledAfterText(row.name));
    EXPECT_TRUE(ZeroFilledAfterText(row.alias));
    EXPECT_TRUE((row.code & 0xFF) == 0x3F || (row.code & 0xFF) == 0xBF);
    codes.insert(row.code);
  }
  EXPECT_EQ(codes.size(), 35u);
}

class Dispatch : public ::testing::Test {
 protected:
  void TearDown() override { ExpectAllGivenBack(sink, device); }

  // Runs `codes` through DispatchKey on a started module's worker.
  void DispatchOnWorker(std::function<void(TestModule&)> codes, IRemoteKeySink* toSink,
                        const RemoteKey* keys = CardKeyTable, int32_t keyCount = kCardKeyCount) {
    auto* module = new TestModule(std::move(codes), keys, keyCount);
    ASSERT_EQ(module->Start(toSink, &device), S_OK);
    while (!module->runEnded) std::this_thread::sleep_for(std::chrono::milliseconds(1));
    EXPECT_EQ(module->Release(), 0u);
  }

  Journal journal;
  FakeSink sink{journal};
  FakeDevice device{journal};
};

TEST_F(Dispatch, EveryCodeIsReportedOnlyIfTheTableHoldsIt) {
  DispatchOnWorker(
      [](TestModule& m) {
        for (uint32_t code = 0; code <= 0xFFFF; ++code) m.DispatchKey(code);
        // Codes compare as whole 32-bit values.
        m.DispatchKey(0x10000 | 0x27BF);
        m.DispatchKey(0xFFFFFFFF);
      },
      &sink);
  std::map<uint32_t, const Row*> byCode;
  for (const Row& row : kExpected) byCode[row.code] = &row;
  std::vector<Call> keys = journal.Only("key");
  ASSERT_EQ(keys.size(), 35u);
  // Codes were dispatched in rising order, so the reports come in code order.
  auto expected = byCode.begin();
  for (const Call& key : keys) {
    EXPECT_EQ(key.name, expected->second->name);
    EXPECT_EQ(key.alias, expected->second->alias);
    ++expected;
  }
}

TEST_F(Dispatch, ReportsPointIntoTheTableAndAMissingAliasIsEmpty) {
  struct Seen {
    const char* name = nullptr;
    const char* alias = nullptr;
  };
  static Seen seen;
  struct PointerSink : FakeSink {
    using FakeSink::FakeSink;
    HRESULT PELMAR_CALL OnKey(const char* name, const char* alias) override {
      seen = {name, alias};
      return S_OK;
    }
  } pointerSink(journal);
  DispatchOnWorker([](TestModule& m) { m.DispatchKey(0x25BF); }, &pointerSink);
  EXPECT_EQ(seen.name, CardKeyTable[0].name);
  ASSERT_EQ(seen.alias, CardKeyTable[0].alias);
  EXPECT_STREQ(seen.alias, "");
  EXPECT_EQ(pointerSink.Count(), 1);
}

TEST_F(Dispatch, TheSameCodeTwiceGivesTwoIdenticalReports) {
  DispatchOnWorker(
      [](TestModule& m) {
        m.DispatchKey(0x27BF);
        m.DispatchKey(0x27BF);
      },
      &sink);
  std::vector<Call> keys = journal.Only("key");
  ASSERT_EQ(keys.size(), 2u);
  for (const Call& key : keys) {
    EXPECT_EQ(key.name, "Key_Power");
    EXPECT_EQ(key.alias, "Power");
  }
}

TEST_F(Dispatch, NothingIsReportedWithoutASinkOrWithAnEmptyTable) {
  auto everyCode = [](TestModule& m) {
    for (uint32_t code = 0; code <= 0xFFFF; ++code) m.DispatchKey(code);
  };
  DispatchOnWorker(everyCode, nullptr);
  DispatchOnWorker(everyCode, &sink, nullptr, 0);
  DispatchOnWorker(everyCode, &sink, nullptr, -1);
  EXPECT_TRUE(journal.Only("key").empty());
}

}  // namespace
