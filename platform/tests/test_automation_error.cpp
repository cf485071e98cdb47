#include "platform/AutomationError.h"

#include <gtest/gtest.h>

using norvale::platform::AutomationError;

TEST(AutomationError, MessageRoundTripKeepsAllThreeParts)
{
    struct Case {
        const char *legend;
        int32_t number;
        QString source, description;
    } cases[] = {
        {"server error", norvale::platform::vbObjectError + 1, "721 Control",
         "Unable to start command mode."},
        {"positive number", 8018, "721 Serial", "Operation valid only when the port is open"},
        {"description with line breaks", -5, "x", "line one\nline two\n\nline four"},
        {"empty description", 13, "kest721xl.cRegistry", ""},
    };
    for (const auto &c : cases) {
        const AutomationError e(c.number, c.source, c.description);
        const AutomationError back = AutomationError::fromMessage(e.toMessage(), 0, "fallback");
        EXPECT_EQ(back.number(), c.number) << c.legend;
        EXPECT_EQ(back.source(), c.source) << c.legend;
        EXPECT_EQ(back.description(), c.description) << c.legend;
    }
    EXPECT_EQ(AutomationError(norvale::platform::vbObjectError + 1, "s", "d").toMessage(),
              "-2147221503\ns\nd");
}

TEST(AutomationError, MalformedMessageFallsBackWithWholeText)
{
    for (const QString &text : {QString("no line breaks"), QString("12\nonly one break"),
                               QString("abc\nsource\ndescription"),
                               QString("99999999999\nsource\ndescription")}) {
        const AutomationError e = AutomationError::fromMessage(text, 440, "bus");
        EXPECT_EQ(e.number(), 440) << text.toStdString();
        EXPECT_EQ(e.source(), "bus");
        EXPECT_EQ(e.description(), text);
    }
}
