#include <gtest/gtest.h>

#include <cstring>

#include "scan/protection_core.h"

using namespace protection;

TEST(DeviceRequest, RecordByteForByte) {
    uint8_t record[kRequestSize];
    std::memset(record, 0xAA, sizeof record);
    BuildDeviceRequest(kPauseCommand, record);
    const uint8_t pause[32] = {'R', 'S', '>', '>', 0xF3, 0x2A, 0x22, 0x00, 0, 0, 0, 0, 0, 0, 0, 0,
                               0,   0,   0,   0,   0,    0,    0,    0,    0, 0, 0, 0, 'R', 'S', '<', '<'};
    EXPECT_EQ(0, std::memcmp(record, pause, 32));
    BuildDeviceRequest(kResumeCommand, record);
    EXPECT_EQ(record[4], 0xF7);
    EXPECT_EQ(record[5], 0x2A);
    EXPECT_EQ(record[6], 0x22);
    EXPECT_EQ(record[7], 0x00);
    EXPECT_EQ(0, std::memcmp(record + 8, pause + 8, 24));
    EXPECT_EQ(kControlCode, 0x222A87u);
}

TEST(DeviceRequest, ReplyMustBeFourBytesOfF000) {
    const uint8_t ok[4] = {0x00, 0xF0, 0x00, 0x00};
    const uint8_t other[4] = {0x05, 0xF0, 0x00, 0x00};
    EXPECT_EQ(DeviceReplyStatus(true, 0, 4, ok), kStatusOk);
    EXPECT_EQ(DeviceReplyStatus(true, 0, 4, other), 0xF005u);
    EXPECT_EQ(DeviceReplyStatus(true, 0, 3, ok), kNotSupported);
    EXPECT_EQ(DeviceReplyStatus(true, 0, 0, ok), kNotSupported);
    EXPECT_EQ(DeviceReplyStatus(false, 2, 4, ok), 2u);   // the system error
}

TEST(DeviceRequest, DeviceNameRules) {
    EXPECT_EQ(CheckDeviceName("ZEMRA"), kStatusOk);
    EXPECT_EQ(CheckDeviceName(""), kNoDeviceName);
    EXPECT_EQ(CheckDeviceName(nullptr), kNoDeviceName);
    EXPECT_EQ(CheckDeviceName("\\\\.\\ZEMRA"), kBadArgument);
    EXPECT_EQ(CheckDeviceName("a/b"), kBadArgument);
}

TEST(ProtectionLibrary, PathGetsOneBackslash) {
    EXPECT_EQ(LibraryPath("C:\\Ostrovel\\ZEM"), "C:\\Ostrovel\\ZEM\\ZEMRA32.DLL");
    EXPECT_EQ(LibraryPath("C:\\Ostrovel\\ZEM\\"), "C:\\Ostrovel\\ZEM\\ZEMRA32.DLL");
    EXPECT_EQ(LibraryPath(""), "\\ZEMRA32.DLL");
}
