#include <gtest/gtest.h>

#include "keyferry.h"

TEST(CharToKey, LowerCaseLetterIsOneStroke)
{
    unsigned char events[12];
    ASSERT_EQ(char2key('a', events), 2);
}
