#include <string>

#include <gtest/gtest.h>

#include "fifo_ipc/cmd_msg.h"
#include "support/camtest.h"

namespace {

TEST(CmdMessage, BuildAndSerialise) {
    CmdMessage msg("prepare");
    msg.AddDataMember<std::string>("process", "stillGrab");
    EXPECT_EQ(msg.GetString(), R"({"cmd":"prepare","data":{"process":"stillGrab"}})");
    EXPECT_EQ(msg.GetCmd(), "prepare");

    CmdMessage typed("setCameraProperty");
    typed.AddDataMember<int>("index", 1);
    typed.AddDataMember<std::string>("property", "brightness");
    typed.AddDataMember<int>("val", -3);
    typed.AddDataMember<bool>("on", true);
    typed.AddDataMember<double>("ratio", 1.5);
    EXPECT_EQ(
        typed.GetString(),
        R"({"cmd":"setCameraProperty","data":{"index":1,"property":"brightness","val":-3,"on":true,"ratio":1.5}})");

    CmdMessage utf("name");
    utf.AddDataMember<std::string>("ssid", "\xe7\x9b\xb8\xe6\x9c\xba");
    EXPECT_EQ(utf.GetString(), "{\"cmd\":\"name\",\"data\":{\"ssid\":\"\xe7\x9b\xb8\xe6\x9c\xba\"}}");
}

TEST(CmdMessage, CopiesAreIndependentAndMovesTakeOver) {
    CmdMessage src("a");
    CmdMessage copy(src);
    src.AddDataMember<int>("x", 1);
    EXPECT_EQ(copy.GetString(), R"({"cmd":"a","data":{}})");

    CmdMessage assigned("b");
    assigned = src;
    src.AddDataMember<int>("y", 2);
    EXPECT_EQ(assigned.GetString(), R"({"cmd":"a","data":{"x":1}})");

    CmdMessage moved(std::move(src));
    EXPECT_EQ(moved.GetString(), R"({"cmd":"a","data":{"x":1,"y":2}})");
    moved = std::move(moved);
    EXPECT_EQ(moved.GetCmd(), "a");

    CmdMessage other("c");
    swap(moved, other);
    EXPECT_EQ(moved.GetCmd(), "c");
    EXPECT_EQ(other.GetCmd(), "a");
}

TEST(CmdMessage, ParsingAcceptsOnlyObjectsWithStringCmd) {
    camtest::LogCapture log;
    auto msg = CmdMessage::CreateWithCmdString(" {\"cmd\":\"heartTest\"}\r\n");
    ASSERT_TRUE(msg);
    EXPECT_EQ(msg->GetCmd(), "heartTest");
    EXPECT_TRUE(log.records().empty());

    // the largest finite numbers still parse, and write back as they came
    auto big = CmdMessage::CreateWithCmdString(R"({"cmd":"x","data":{"v":1e308,"w":-1e308}})");
    ASSERT_TRUE(big);
    EXPECT_EQ(big->GetString(), R"({"cmd":"x","data":{"v":1e308,"w":-1e308}})");

    EXPECT_FALSE(CmdMessage::CreateWithCmdString(R"({"cmd":5,"data":{}})"));
    EXPECT_FALSE(CmdMessage::CreateWithCmdString(R"({"data":{}})"));
    EXPECT_TRUE(log.records().empty()) << "no log line for a missing or mistyped cmd";

    struct {
        std::string line;
        const char* log;
    } bad[] = {
        {"[1,2]", "parse_err No error."},
        {R"({"cmd":"heartTest"} {"cmd":"heartTest"})", "parse_err The document root must not follow by other values."},
        {"  \t ", "parse_err The document is empty."},
        {"", "parse_err The document is empty."},
        {std::string("\0}", 2), "parse_err The document is empty."},
        {"\xef\xbb\xbf \xbf", "parse_err Invalid value."},
        {"\xef\xbf", "parse_err The document is empty."},
        // a first character no value starts with
        {"}", "parse_err Invalid value."},
        {" \r\n]", "parse_err Invalid value."},
        {",{\"cmd\":\"heartTest\"}", "parse_err Invalid value."},
        {":1", "parse_err Invalid value."},
        {"x", "parse_err Invalid value."},
        {"{cmd}", "parse_err Missing a name for object member."},
        // numbers the parser takes as infinity: no writer could write them back
        {R"({"cmd":"x","data":{"v":1.7976931348623158e308}})", "parse_err Number too big to be stored in double."},
        {R"({"cmd":"x","data":[-1.7976931348623159e308]})", "parse_err Number too big to be stored in double."},
        {R"({"cmd":"x","data":{"v":1e400}})", "parse_err Number too big to be stored in double."},
    };
    for (auto& b : bad) {
        log.clear();
        EXPECT_FALSE(CmdMessage::CreateWithCmdString(b.line)) << b.line;
        EXPECT_EQ(log.count(google::GLOG_ERROR, b.log), 1) << b.line;
    }
}

TEST(CmdMessage, DeepNestingDoesNotOverflowTheStack) {
    std::string deep = "{\"cmd\":\"x\",\"data\":" + std::string(200000, '[') + std::string(200000, ']') + "}";
    auto msg = CmdMessage::CreateWithCmdString(deep);
    ASSERT_TRUE(msg);
    EXPECT_EQ(msg->GetCmd(), "x");
    EXPECT_FALSE(CmdMessage::CreateWithCmdString(std::string(500000, '[')));
}

}  // namespace
