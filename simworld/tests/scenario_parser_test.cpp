// The scenario parser on its own: what good files give, and for each mistake the line and text
// that the world prints (docs/scenarios.md).
#include <gtest/gtest.h>

#include <cstdio>
#include <string>

#include "scenario.h"

using sim::ParseScenario;
using sim::Scenario;
using sim::ScenarioError;

namespace {

Scenario Parsed(const std::string& text) {
    Scenario s;
    ScenarioError e;
    EXPECT_TRUE(ParseScenario(text, s, e)) << "line " << e.line << ": " << e.text;
    return s;
}

}  // namespace

TEST(ScenarioParser, EveryKeyOfADevice) {
    Scenario s = Parsed(
        "device probe-1\n"
        "  vid 0x1234\n  pid 4660\n  serial Ab_1.2-3\n  protocol 1\n  handshake no\n  echo no\n"
        "  status 0x7f\n  manufacturer \"Maker & Sons\"\n  product Probe\n"
        "  pipe bulk 0x02 64\n  pipe interrupt 0x83 8 10\n"
        "  zero-length-packet yes\n  strings-need-language yes\n  initialize-error 31\n  present no\n"
        "  unplug-after-messages 7\n"
        "end\n");
    ASSERT_EQ(1u, s.devices.size());
    const sim::ScenarioDevice& d = s.devices[0];
    EXPECT_EQ("probe-1", d.name);
    EXPECT_EQ(1, d.line);
    EXPECT_EQ(0x1234, d.config.vendorId);
    EXPECT_EQ(0x1234, d.config.productId);
    EXPECT_EQ("Ab_1.2-3", d.serial);
    EXPECT_EQ(nullptr, d.config.serial);
    EXPECT_EQ(1, d.config.protocolVersion);
    EXPECT_EQ(0, d.config.answersHandshake);
    EXPECT_EQ(0, d.config.echo);
    EXPECT_EQ(0x7f, d.config.statusByte);
    EXPECT_TRUE(d.hasManufacturer);
    EXPECT_EQ("Maker & Sons", d.manufacturer);
    EXPECT_TRUE(d.hasProduct);
    EXPECT_EQ("Probe", d.product);
    ASSERT_EQ(2u, d.config.pipeCount);
    EXPECT_EQ(2u, d.config.pipes[0].type);
    EXPECT_EQ(0x02, d.config.pipes[0].pipeId);
    EXPECT_EQ(64, d.config.pipes[0].maxPacketSize);
    EXPECT_EQ(0, d.config.pipes[0].interval);
    EXPECT_EQ(3u, d.config.pipes[1].type);
    EXPECT_EQ(0x83, d.config.pipes[1].pipeId);
    EXPECT_EQ(8, d.config.pipes[1].maxPacketSize);
    EXPECT_EQ(10, d.config.pipes[1].interval);
    EXPECT_EQ(1, d.config.zeroLengthPacket);
    EXPECT_EQ(1, d.config.stringsNeedLanguage);
    EXPECT_EQ(31u, d.config.winusbError);
    EXPECT_FALSE(d.present);
    EXPECT_EQ(7u, d.unplugAfterMessages);
}

TEST(ScenarioParser, DefaultsAreTheWorldsAndEchoIsOn) {
    Scenario s = Parsed("device a\nend\n");
    ASSERT_EQ(1u, s.devices.size());
    SimUsbDeviceConfig world;
    SimWorld_DefaultConfig(&world);
    const sim::ScenarioDevice& d = s.devices[0];
    EXPECT_EQ(world.vendorId, d.config.vendorId);
    EXPECT_EQ(world.productId, d.config.productId);
    EXPECT_EQ(world.protocolVersion, d.config.protocolVersion);
    EXPECT_EQ(world.answersHandshake, d.config.answersHandshake);
    EXPECT_EQ(world.handshakeValue, d.config.handshakeValue);
    EXPECT_EQ(1, d.config.echo);
    EXPECT_EQ(0u, d.config.pipeCount);
    EXPECT_TRUE(d.serial.empty());
    EXPECT_FALSE(d.hasManufacturer);
    EXPECT_FALSE(d.hasProduct);
    EXPECT_TRUE(d.present);
    EXPECT_EQ(0u, d.unplugAfterMessages);
}

TEST(ScenarioParser, CommentsBlanksLineEndsAndQuotes) {
    Scenario s = Parsed(
        "\xEF\xBB\xBF# a byte order mark, then a comment\r\n"
        "\r\n"
        "device a   # trailing comment\r\n"
        "\tproduct \"Link # 2\"# right after the quote\r\n"
        "  manufacturer \"\"\r\n"
        "end");
    ASSERT_EQ(1u, s.devices.size());
    EXPECT_EQ(3, s.devices[0].line);
    EXPECT_EQ("Link # 2", s.devices[0].product);
    EXPECT_TRUE(s.devices[0].hasManufacturer);
    EXPECT_EQ("", s.devices[0].manufacturer);
    EXPECT_TRUE(Parsed("").devices.empty());
    EXPECT_TRUE(Parsed("# nothing\n\n").devices.empty());
}

TEST(ScenarioParser, EventsComeInTimeOrder) {
    Scenario s = Parsed(
        "device a\nend\ndevice b\n present no\nend\n"
        "at 2 plug b\nat 0.5 unplug a\nat 0.5 plug b\nat 1.25 plug a\nat 0 unplug b\n");
    ASSERT_EQ(5u, s.events.size());
    const struct {
        uint32_t ms;
        bool plug;
        const char* device;
        int line;
    } want[] = {{0, false, "b", 10}, {500, false, "a", 7}, {500, true, "b", 8}, {1250, true, "a", 9}, {2000, true, "b", 6}};
    for (size_t i = 0; i < 5; ++i) {
        SCOPED_TRACE(i);
        EXPECT_EQ(want[i].ms, s.events[i].atMs);
        EXPECT_EQ(want[i].plug, s.events[i].plug);
        EXPECT_EQ(want[i].device, s.events[i].device);
        EXPECT_EQ(want[i].line, s.events[i].line);
    }
}

TEST(ScenarioParser, EachMistakeNamesItsLine) {
    std::string seventeenPipes = "device a\n";
    for (int i = 1; i <= 17; ++i) {
        char line[32];
        std::snprintf(line, sizeof line, " pipe bulk 0x%02x 64\n", i <= 15 ? i : 0x80 + i - 15);
        seventeenPipes += line;
    }
    const struct {
        const char* text;
        int line;
        const char* error;
    } rows[] = {
        {"device a\n  color red\nend\n", 2, "unknown key \"color\""},
        {"colour blue\n", 1, "unknown key \"colour\""},
        {"vid 0x1209\n", 1, "\"vid\" belongs inside a device block"},
        {"end\n", 1, "\"end\" without a device block"},
        {"# one\ndevice a\n vid 1\n", 2, "device \"a\" has no end"},
        {"device a\ndevice b\nend\n", 2, "\"device\" inside device \"a\" (its end is missing)"},
        {"device a\n at 1 plug a\nend\n", 2, "\"at\" inside device \"a\" (its end is missing)"},
        {"device A\nend\n", 1, "device name \"A\" is not made of a-z, 0-9 and -"},
        {"device a_b\nend\n", 1, "device name \"a_b\" is not made of a-z, 0-9 and -"},
        {"device\n", 1, "device needs a name"},
        {"device a b\n", 1, "device takes 1 value"},
        {"device a\nend\n\ndevice a\nend\n", 4, "device \"a\" is defined twice (first at line 1)"},
        {"device a\nend now\n", 2, "end takes no value"},
        {"device a\n vid 0x10000\nend\n", 2, "vid: \"0x10000\" is not a number from 0 to 0xffff"},
        {"device a\n pid 12ab\nend\n", 2, "pid: \"12ab\" is not a number from 0 to 0xffff"},
        {"device a\n pid\nend\n", 2, "pid takes 1 value"},
        {"device a\n vid 1 2\nend\n", 2, "vid takes 1 value"},
        {"device a\n vid 1\n vid 2\nend\n", 3, "vid is given twice in device \"a\""},
        {"device a\n serial \"A B\"\nend\n", 2, "serial: \"A B\" is not 1 to 64 letters, digits, '.', '_' or '-'"},
        {"device a\n protocol 3\nend\n", 2, "protocol: \"3\" is not 0, 1 or 2"},
        {"device a\n handshake maybe\nend\n", 2, "handshake: \"maybe\" is not yes or no"},
        {"device a\n echo on\nend\n", 2, "echo: \"on\" is not yes or no"},
        {"device a\n zero-length-packet 1\nend\n", 2, "zero-length-packet: \"1\" is not yes or no"},
        {"device a\n strings-need-language No\nend\n", 2, "strings-need-language: \"No\" is not yes or no"},
        {"device a\n present absent\nend\n", 2, "present: \"absent\" is not yes or no"},
        {"device a\n status 0x100\nend\n", 2, "status: \"0x100\" is not a number from 0 to 0xff"},
        {"device a\n initialize-error -1\nend\n", 2, "initialize-error: \"-1\" is not a number from 0 to 0xffffffff"},
        {"device a\n unplug-after-messages 0\nend\n", 2,
         "unplug-after-messages: \"0\" is not a number from 1 to 4294967295"},
        {"device a\n product \"Link\nend\n", 2, "a quoted text has no closing quote"},
        {"device a\n product \"Link\"s\nend\n", 2, "text right after a closing quote"},
        {"device a\n product Li\"nk\"\nend\n", 2, "a quote inside a word"},
        {"\"device\" a\n", 1, "a statement starts with a key, not a quoted text"},
        {"device a\n manufacturer \"\xff\"\nend\n", 2, "not UTF-8 text"},
        {"device a\n manufacturer \xC0\xAF\nend\n", 2, "not UTF-8 text"},
        {"device a\n pipe bulk 0x81\nend\n", 2, "pipe takes 3 or 4 values"},
        {"device a\n pipe isochronous 0x81 64\nend\n", 2, "pipe: \"isochronous\" is not bulk or interrupt"},
        {"device a\n pipe bulk 0x00 64\nend\n", 2, "pipe: \"0x00\" is not an endpoint address (0x01-0x0f, 0x81-0x8f)"},
        {"device a\n pipe bulk 0x91 64\nend\n", 2, "pipe: \"0x91\" is not an endpoint address (0x01-0x0f, 0x81-0x8f)"},
        {"device a\n pipe bulk 0x81 0\nend\n", 2, "pipe: \"0\" is not a packet size from 1 to 1024"},
        {"device a\n pipe bulk 0x81 2048\nend\n", 2, "pipe: \"2048\" is not a packet size from 1 to 1024"},
        {"device a\n pipe interrupt 0x81 8 256\nend\n", 2, "pipe: \"256\" is not an interval from 0 to 255"},
        {"device a\n pipe bulk 0x81 64\n pipe interrupt 0x81 8\nend\n", 3, "pipe 0x81 is given twice"},
        {"device a\nend\nat soon plug a\n", 3, "at: \"soon\" is not a time in seconds (like 2 or 0.5)"},
        {"device a\nend\nat 1. plug a\n", 3, "at: \"1.\" is not a time in seconds (like 2 or 0.5)"},
        {"device a\nend\nat -1 plug a\n", 3, "at: \"-1\" is not a time in seconds (like 2 or 0.5)"},
        {"device a\nend\nat 1 replug a\n", 3, "at: \"replug\" is not plug or unplug"},
        {"device a\nend\nat 1 plug\n", 3, "at takes 3 values"},
        {"at 1 plug ghost\ndevice a\nend\n", 1, "at: no device \"ghost\""},
        {"device a\n serial S1\nend\ndevice b\n serial S1\nend\n", 4,
         "device \"b\" has the interface path of device \"a\" (the same vid, pid and serial)"},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.text);
        Scenario s;
        ScenarioError e;
        EXPECT_FALSE(ParseScenario(row.text, s, e));
        EXPECT_EQ(row.line, e.line);
        EXPECT_EQ(row.error, e.text);
    }
    Scenario s;
    ScenarioError e;
    EXPECT_FALSE(ParseScenario(seventeenPipes, s, e));
    EXPECT_EQ(18, e.line);
    EXPECT_EQ("more than 16 pipes", e.text);
    EXPECT_FALSE(ParseScenario("device a\n product \"" + std::string(127, 'x') + "\"\nend\n", s, e));
    EXPECT_EQ("product: longer than 126 characters", e.text);
    EXPECT_TRUE(ParseScenario("device a\n product \"" + std::string(126, 'x') + "\"\nend\n", s, e)) << e.text;
    // Two serials alike with another pid are two interface paths.
    EXPECT_TRUE(ParseScenario("device a\n serial S1\nend\ndevice b\n pid 2\n serial S1\nend\n", s, e)) << e.text;
}
