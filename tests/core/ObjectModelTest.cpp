#include <atomic>
#include <iostream>
#include <stdexcept>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "Core/CoreObj.h"

namespace {

struct ICounter : public IRoot {
    virtual int Value() const = 0;
};

std::atomic<int> g_destroyed{0};

class Code_Counter : public ICounter {
public:
    Code_Counter() : __Ref_(0) {}
    virtual ~Code_Counter() { ++g_destroyed; }
    _IROOT_IMPLEMENTATION()
    int Value() const override { return 42; }
    _COMREF Count() const { return __atomic_load_n(&__Ref_, __ATOMIC_SEQ_CST); }

private:
    _COMREF __Ref_;
};

class ObjectModel : public ::testing::Test {
protected:
    void SetUp() override { g_destroyed = 0; }
};

TEST_F(ObjectModel, CopiesCountAndTheLastReleaseDestroysOnce)
{
    Code_Counter* raw = new Code_Counter();
    {
        _OBJ<ICounter> a(raw);
        EXPECT_EQ(raw->Count(), 1);
        {
            _OBJ<ICounter> b(a);
            EXPECT_EQ(raw->Count(), 2);
            EXPECT_TRUE(a == b);
        }
        EXPECT_EQ(raw->Count(), 1);
        EXPECT_EQ(g_destroyed, 0);
    }
    EXPECT_EQ(g_destroyed, 1);
}

TEST_F(ObjectModel, ReleaseReturnsTheCountAfterTheDecrement)
{
    Code_Counter* raw = new Code_Counter();
    EXPECT_EQ(raw->__AddRef(), 1);
    EXPECT_EQ(raw->__AddRef(), 2);
    EXPECT_EQ(raw->__Release(), 1);
    EXPECT_EQ(g_destroyed, 0);
    EXPECT_EQ(raw->__Release(), 0);
    EXPECT_EQ(g_destroyed, 1);
}

TEST_F(ObjectModel, SelfAssignmentAndNullHandling)
{
    Code_Counter* raw = new Code_Counter();
    _OBJ<ICounter> a(raw);
    _OBJ<ICounter> copy(a);
    a = raw;
    a = copy;
    a = a;
    EXPECT_EQ(raw->Count(), 2);

    _OBJ<ICounter> empty(nullptr);
    EXPECT_TRUE(!empty);
    EXPECT_FALSE(empty.IsValid());
    EXPECT_EQ(empty.__Ptr(), nullptr);
    empty = nullptr;

    copy = nullptr;
    EXPECT_EQ(raw->Count(), 1);
    a = nullptr;
    EXPECT_EQ(g_destroyed, 1);
}

TEST_F(ObjectModel, AssigningAnObjectHeldOnlyByTheOldOneKeepsItAlive)
{
    // The new object is reachable only through the old one: taking the new
    // reference before releasing the old one keeps it alive.
    struct INode : public IRoot {
        virtual _OBJ<INode>& Next() = 0;
    };
    struct Code_Node : public INode {
        Code_Node() : __Ref_(0) {}
        virtual ~Code_Node() { ++g_destroyed; }
        _IROOT_IMPLEMENTATION()
        _OBJ<INode>& Next() override { return Next_; }
        _COMREF __Ref_;
        _OBJ<INode> Next_;
    };
    _OBJ<INode> head(new Code_Node());
    head->Next() = new Code_Node();
    head = head->Next().__Ptr();
    EXPECT_EQ(g_destroyed, 1);
    EXPECT_TRUE(head.isValid());
    head = nullptr;
    EXPECT_EQ(g_destroyed, 2);
}

TEST_F(ObjectModel, QueryInterfaceAnswersNothing)
{
    _OBJ<ICounter> a(new Code_Counter());
    void* out = &out;
    EXPECT_EQ(a->__QueryInterface(NULL_UUID, &out), _CONST_ComErr);
    EXPECT_EQ(a->__QueryInterface(_UUID(false), &out), _CONST_ComErr);
    EXPECT_EQ(out, &out);
}

TEST_F(ObjectModel, CountsStayExactAcrossThreads)
{
    Code_Counter* raw = new Code_Counter();
    _OBJ<ICounter> root(raw);
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t) {
        threads.emplace_back([root] {
            for (int i = 0; i < 20000; ++i) {
                _OBJ<ICounter> a(root);
                _OBJ<ICounter> b;
                b = a;
                ASSERT_EQ(b->Value(), 42);
            }
        });
    }
    for (auto& t : threads)
        t.join();
    EXPECT_EQ(raw->Count(), 1);
    root = nullptr;
    EXPECT_EQ(g_destroyed, 1);
}

TEST_F(ObjectModel, LastReleaseOnAnyThreadDestroysExactlyOnce)
{
    for (int round = 0; round < 200; ++round) {
        _OBJ<ICounter> obj(new Code_Counter());
        std::vector<std::thread> threads;
        for (int t = 0; t < 3; ++t)
            threads.emplace_back([copy = obj]() mutable { copy = nullptr; });
        obj = nullptr;
        for (auto& t : threads)
            t.join();
    }
    EXPECT_EQ(g_destroyed, 200);
}

TEST(ObjectModelDeathTest, DereferencingAnEmptyObjHaltsWithStatus3)
{
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_EXIT(
        {
            std::cout.rdbuf(std::cerr.rdbuf());
            _OBJ<ICounter> empty;
            empty->Value();
        },
        ::testing::ExitedWithCode(3), "HALT");
}

TEST(Uuid, NullAndTextForms)
{
    EXPECT_TRUE(_UUID(true) == NULL_UUID);
    EXPECT_EQ(static_cast<_STRING>(_UUID(true)), "00000000-0000-0000-0000-000000000000");
    EXPECT_EQ(static_cast<_WSTRING>(_UUID(true)), L"00000000-0000-0000-0000-000000000000");

    const _UUID braced("{0123ABCD-4567-89EF-0123-456789ABCDEF}");
    const _UUID plain("0123abcd456789ef0123456789abcdef");
    EXPECT_TRUE(braced == plain);
    EXPECT_EQ(static_cast<_STRING>(plain), "0123abcd-4567-89ef-0123-456789abcdef");

    EXPECT_THROW(_UUID("not-a-uuid"), std::runtime_error);
    EXPECT_THROW(_UUID("0123abcd456789ef0123456789abcde"), std::runtime_error);
}

TEST(Uuid, GeneratedIdentifiersAreRandomAndDistinct)
{
    std::vector<_UUID> seen;
    for (int i = 0; i < 1000; ++i) {
        _UUID id(false);
        EXPECT_FALSE(id == NULL_UUID);
        for (const _UUID& other : seen)
            ASSERT_FALSE(id == other);
        seen.push_back(id);
    }
    _UUID copy(true);
    copy = seen[0];
    EXPECT_TRUE(copy == seen[0]);
}

TEST(Buf, SizesAndClear)
{
    _BUF buf(16, 4);
    EXPECT_EQ(buf.Capacity(), 16u);
    EXPECT_EQ(buf.DataLen(), 4u);
    EXPECT_EQ(buf.FreeSpace(), 12u);
    const _BYTE* p = static_cast<const _BYTE*>(buf.Ptr());
    for (int i = 0; i < 16; ++i)
        EXPECT_EQ(p[i], 0);
    static_cast<_BYTE*>(buf.Ptr())[3] = 7;
    buf.Clear();
    EXPECT_EQ(buf.Capacity(), 16u);
    EXPECT_EQ(buf.DataLen(), 0u);
    EXPECT_EQ(p[3], 0);

    _BYTE storage[8] = {1, 2, 3};
    {
        _BUF over(storage, sizeof(storage), 3);
        EXPECT_EQ(over.Ptr(), storage);
    }
    EXPECT_EQ(storage[0], 1);   // caller storage is neither cleared nor freed
}

}  // namespace
