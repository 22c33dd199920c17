#include <vector>

#include "tests/support/fixtures.h"

namespace halvex::test {
namespace {

class UsbdTest : public PlatformTest {};

// Configuration with interface 0 (alt 0 and alt 1) and interface 1, bulk and interrupt pipes.
std::vector<UCHAR> TwoInterfaceConfiguration() {
    std::vector<UCHAR> d = {9, 2, 0,    0, 2,    1,    0,  0x80, 50,
                            9, 4, 0,    0, 1,    0xFF, 0,  0,    0,  // interface 0 alt 0
                            7, 5, 0x81, 2, 0x00, 0x02, 0,            // bulk IN
                            9, 4, 0,    1, 0,    0xFF, 0,  0,    0,  // interface 0 alt 1
                            9, 4, 1,    0, 2,    0xFF, 0,  0,    0,  // interface 1 alt 0
                            7, 5, 0x82, 3, 0x08, 0x00, 10,           // interrupt IN
                            7, 5, 0x03, 2, 0x00, 0x02, 0};           // bulk OUT
    d[2] = static_cast<UCHAR>(d.size());
    return d;
}

TEST_F(UsbdTest, ParseFindsInterfacesByNumberAndAlternateSetting) {
    auto d = TwoInterfaceConfiguration();
    auto* config = reinterpret_cast<PUSB_CONFIGURATION_DESCRIPTOR>(d.data());
    PUSB_INTERFACE_DESCRIPTOR i0 =
        USBD_ParseConfigurationDescriptorEx(config, config, 0, 0, -1, -1, -1);
    PUSB_INTERFACE_DESCRIPTOR i0a1 =
        USBD_ParseConfigurationDescriptorEx(config, config, 0, 1, -1, -1, -1);
    PUSB_INTERFACE_DESCRIPTOR i1 =
        USBD_ParseConfigurationDescriptorEx(config, config, 1, 0, -1, -1, -1);
    ASSERT_TRUE(i0 && i0a1 && i1);
    EXPECT_EQ(reinterpret_cast<UCHAR*>(i0) - d.data(), 9);
    EXPECT_EQ(i0a1->bAlternateSetting, 1);
    EXPECT_EQ(i1->bNumEndpoints, 2);
    EXPECT_EQ(USBD_ParseConfigurationDescriptorEx(config, config, 2, 0, -1, -1, -1), nullptr);
    EXPECT_EQ(USBD_ParseConfigurationDescriptorEx(config, config, 0, 0, 3, -1, -1), nullptr);
}

TEST_F(UsbdTest, ParseStaysWithinTheStatedLengthAndStopsAtAZeroLength) {
    auto d = TwoInterfaceConfiguration();
    auto* config = reinterpret_cast<PUSB_CONFIGURATION_DESCRIPTOR>(d.data());
    config->wTotalLength = 30;  // interface 1 lies beyond it
    EXPECT_EQ(USBD_ParseConfigurationDescriptorEx(config, config, 1, 0, -1, -1, -1), nullptr);
    config->wTotalLength = static_cast<USHORT>(d.size());
    d[18] = 0;  // the bulk endpoint claims length 0
    EXPECT_EQ(USBD_ParseConfigurationDescriptorEx(config, config, 1, 0, -1, -1, -1), nullptr);
}

TEST_F(UsbdTest, CreateConfigurationRequestLaysOutEveryListedInterface) {
    auto d = TwoInterfaceConfiguration();
    auto* config = reinterpret_cast<PUSB_CONFIGURATION_DESCRIPTOR>(d.data());
    USBD_INTERFACE_LIST_ENTRY list[3] = {
        {USBD_ParseConfigurationDescriptorEx(config, config, 0, 0, -1, -1, -1), nullptr},
        {USBD_ParseConfigurationDescriptorEx(config, config, 1, 0, -1, -1, -1), nullptr},
        {nullptr, nullptr}};
    PURB urb = USBD_CreateConfigurationRequestEx(config, list);
    ASSERT_NE(urb, nullptr);
    const size_t expected = offsetof(_URB_SELECT_CONFIGURATION, Interface) +
                            GET_USBD_INTERFACE_SIZE(1) + GET_USBD_INTERFACE_SIZE(2);
    EXPECT_EQ(urb->UrbHeader.Length, expected);
    EXPECT_EQ(urb->UrbHeader.Function, URB_FUNCTION_SELECT_CONFIGURATION);
    EXPECT_EQ(list[0].Interface, &urb->UrbSelectConfiguration.Interface);
    EXPECT_EQ(
        reinterpret_cast<UCHAR*>(list[1].Interface) - reinterpret_cast<UCHAR*>(list[0].Interface),
        static_cast<ptrdiff_t>(GET_USBD_INTERFACE_SIZE(1)));
    EXPECT_EQ(list[1].Interface->InterfaceNumber, 1);
    EXPECT_EQ(list[1].Interface->NumberOfPipes, 2u);
    EXPECT_EQ(list[1].Interface->Pipes[1].MaximumTransferSize, USBD_DEFAULT_MAXIMUM_TRANSFER_SIZE);
    ExFreePool(urb);
}

}  // namespace
}  // namespace halvex::test
