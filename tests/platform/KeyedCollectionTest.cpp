#include "platform/KeyedCollection.h"

#include "platform/PlatformError.h"

#include <gtest/gtest.h>

using platform::KeyedCollection;
using platform::PlatformError;

TEST(KeyedCollection, AddLookUpRemoveAndTheirFailures)
{
    KeyedCollection table;
    table.add(QStringLiteral("/a"), QStringLiteral("Id"));
    table.add(QStringLiteral("/b"), QStringLiteral("Other"));
    EXPECT_EQ(table.item(QStringLiteral("Id")), QStringLiteral("/a"));
    EXPECT_EQ(table.count(), 2);

    EXPECT_THROW(table.add(QStringLiteral("/c"), QStringLiteral("Id")), PlatformError);
    EXPECT_EQ(table.item(QStringLiteral("Id")), QStringLiteral("/a"))
        << "a refused add changes nothing";

    EXPECT_THROW(table.item(QStringLiteral("id")), PlatformError) << "keys are case-sensitive";
    table.remove(QStringLiteral("Id"));
    EXPECT_THROW(table.remove(QStringLiteral("Id")), PlatformError);
    EXPECT_THROW(table.item(QStringLiteral("Id")), PlatformError);
    table.add(QStringLiteral("/d"), QStringLiteral("Id"));
    EXPECT_EQ(table.item(QStringLiteral("Id")), QStringLiteral("/d"));
}
