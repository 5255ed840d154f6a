#include "app/command_line.h"

#include <gtest/gtest.h>

using qora::EntryCommand;
using qora::ParseEntryCommand;

TEST(EntryCommand, OptionWordIsComparedWholeWithoutRegardToCase) {
    struct Case {
        const char* text;
        EntryCommand expected;
    } cases[] = {
        {"-RegServer", EntryCommand::Register},
        {"/regserver", EntryCommand::Register},
        {"-r", EntryCommand::Register},
        {"/R", EntryCommand::Register},
        {"xyz -r", EntryCommand::Register},
        {"-unregserver", EntryCommand::Unregister},
        {"/u", EntryCommand::Unregister},
        {"-U", EntryCommand::Unregister},
        {"-regserver ", EntryCommand::Run},
        {"-regserver -x", EntryCommand::Run},
        {"-f:/tmp/a.cfg /regserver", EntryCommand::Run},
        {"/f:C:/cfg/a.cfg -regserver", EntryCommand::Register},  // the first '-' wins over '/'
        {"-Embedding", EntryCommand::Run},
        {"/Embedding", EntryCommand::Run},
        {"", EntryCommand::Run},
        {"regserver", EntryCommand::Run},
        {"-", EntryCommand::Run},
    };
    for (const auto& c : cases) EXPECT_EQ(ParseEntryCommand(c.text), c.expected) << '"' << c.text << '"';
}

TEST(EntryCommand, ArgumentsAreJoinedWithSingleBlanks) {
    EXPECT_EQ(qora::JoinArguments({}), "");
    EXPECT_EQ(qora::JoinArguments({"-f:/tmp/a.cfg", "/regserver"}), "-f:/tmp/a.cfg /regserver");
}
