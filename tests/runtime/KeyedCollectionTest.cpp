#include "runtime/KeyedCollection.h"

#include "runtime/RuntimeError.h"

#include <gtest/gtest.h>

using runtime::ErrorKind;
using runtime::KeyedCollection;
using runtime::RuntimeError;

namespace {

template <typename Statement> ErrorKind kindOfFailure(Statement statement)
{
    try {
        statement();
    } catch (const RuntimeError &error) {
        return error.kind();
    }
    return ErrorKind::Failed;
}

} // namespace

TEST(KeyedCollection, AddLookUpRemoveAndTheirFailures)
{
    KeyedCollection table;
    table.add("/a", "Id");
    table.add("/b", "Other");
    EXPECT_EQ(table.item("Id"), "/a");
    EXPECT_EQ(table.count(), 2);

    EXPECT_EQ(kindOfFailure([&] { table.add("/c", "Id"); }), ErrorKind::Exists);
    EXPECT_EQ(table.item("Id"), "/a") << "a refused add changes nothing";

    EXPECT_EQ(kindOfFailure([&] { table.item("id"); }), ErrorKind::NotFound)
        << "keys are case-sensitive";
    table.remove("Id");
    EXPECT_EQ(kindOfFailure([&] { table.remove("Id"); }), ErrorKind::NotFound);
    EXPECT_FALSE(table.contains("Id"));
    table.add("/d", "Id");
    EXPECT_EQ(table.item("Id"), "/d");
}
