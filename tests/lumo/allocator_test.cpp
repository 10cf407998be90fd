#include "lumo/allocator.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "lumo/malloc_allocator.h"
#include "support/sanitizer.h"

namespace {

struct Storage {
    static inline int sCopies = 0;
    std::vector<int> fItems;
    Storage() = default;
    Storage(const Storage& other) : fItems(other.fItems) { ++sCopies; }
};

TEST(RefCounted, ReadingAnEmptyHandleAllocatesNothing) {
    CL_RefCounted<Storage> h;
    EXPECT_FALSE(h.IsValid());
    EXPECT_TRUE(h.GetRefData()->fItems.empty());
    EXPECT_FALSE(h.IsValid());
    EXPECT_EQ(h.GetRefCount(), 0u);
    // Every empty handle reads the same default storage; the first change makes one.
    CL_RefCounted<Storage> other;
    EXPECT_EQ(h.GetRefData(), other.GetRefData());
    h.ModifyRefData()->fItems.push_back(1);
    EXPECT_EQ(h.GetRefCount(), 1u);
    EXPECT_TRUE(other.GetRefData()->fItems.empty());
}

TEST(RefCounted, SharedRefDataIsCreatedOnceAndNeverCopied) {
    CL_RefCounted<Storage> a;
    CL_RefCounted<Storage> b = a;  // both without storage: each creates its own
    Storage* shared = a.SharedRefData();
    ASSERT_NE(shared, nullptr);
    EXPECT_EQ(a.SharedRefData(), shared);
    CL_RefCounted<Storage> c = a;
    Storage::sCopies = 0;
    EXPECT_EQ(c.SharedRefData(), shared);
    EXPECT_EQ(Storage::sCopies, 0);
    EXPECT_NE(b.SharedRefData(), shared);
}

// A storage whose copy can be told to fail, as a copy out of memory does.
struct Fragile {
    static inline bool sFail = false;
    int fValue = 0;
    bool fFailed = false;
    Fragile() = default;
    Fragile(const Fragile& other) : fValue(other.fValue), fFailed(sFail) {}
    bool CopyFailed() const { return fFailed; }
};

TEST(RefCounted, FailedCopyLeavesTheHandleAsItWas) {
    CL_RefCounted<Fragile> a;
    a.ModifyRefData()->fValue = 5;
    CL_RefCounted<Fragile> b = a;
    Fragile::sFail = true;
    EXPECT_EQ(b.ModifyRefData(), nullptr);
    EXPECT_FALSE(b.CopyOnWrite());
    Fragile::sFail = false;
    // Still shared, value intact on both sides.
    EXPECT_EQ(a.GetRefCount(), 2u);
    EXPECT_EQ(a.GetRefData(), b.GetRefData());
    EXPECT_EQ(b.GetRefData()->fValue, 5);
    Fragile* mine = b.ModifyRefData();
    ASSERT_NE(mine, nullptr);
    mine->fValue = 6;
    EXPECT_EQ(a.GetRefData()->fValue, 5);
}

TEST(RefCounted, CopiesShareUntilFirstChange) {
    CL_RefCounted<Storage> a;
    a.ModifyRefData()->fItems.push_back(1);
    CL_RefCounted<Storage> b = a;
    EXPECT_EQ(a.GetRefCount(), 2u);
    EXPECT_EQ(a.GetRefData(), b.GetRefData());

    Storage::sCopies = 0;
    b.ModifyRefData()->fItems.push_back(2);
    EXPECT_EQ(Storage::sCopies, 1);
    EXPECT_EQ(a.GetRefCount(), 1u);
    EXPECT_EQ(b.GetRefCount(), 1u);
    EXPECT_EQ(a.GetRefData()->fItems, std::vector<int>({1}));
    EXPECT_EQ(b.GetRefData()->fItems, std::vector<int>({1, 2}));

    // A sole owner changes in place.
    const Storage* before = b.GetRefData();
    b.ModifyRefData()->fItems.push_back(3);
    EXPECT_EQ(Storage::sCopies, 1);
    EXPECT_EQ(b.GetRefData(), before);
}

TEST(RefCounted, AssignmentAndSetRefData) {
    CL_RefCounted<Storage> a(new Storage);
    a.ModifyRefData()->fItems.push_back(7);
    CL_RefCounted<Storage> b;
    b = a;
    b = b;  // self-assignment keeps the storage
    EXPECT_EQ(b.GetRefData()->fItems.size(), 1u);
    b.SetRefData(new Storage);
    EXPECT_EQ(a.GetRefCount(), 1u);
    EXPECT_TRUE(b.GetRefData()->fItems.empty());
    b.SetRefData(nullptr);
    EXPECT_FALSE(b.IsValid());
}

TEST(RefCounted, SharedCountIsAtomicAcrossThreads) {
    CL_RefCounted<Storage> root;
    root.ModifyRefData();
    std::vector<std::thread> threads;
    for (int t = 0; t < 8; ++t) {
        threads.emplace_back([&root] {
            for (int i = 0; i < 10000; ++i) {
                CL_RefCounted<Storage> copy = root;
                (void)copy.GetRefData();
            }
        });
    }
    for (auto& t : threads)
        t.join();
    EXPECT_EQ(root.GetRefCount(), 1u);
}

TEST(Allocator, MallocBackEndAndTracedForms) {
    CL_Allocator& a = CL_Allocator::GetSingleton();
    EXPECT_EQ(&a, &CL_Allocator::GetSingleton());
    void* p = a.Alloc(16);
    ASSERT_NE(p, nullptr);
    p = a.Realloc(p, 64);
    ASSERT_NE(p, nullptr);
    a.Free(p);
    a.Free(nullptr);

    char* t = static_cast<char*>(a.Realloc(nullptr, 8, __FILE__, __LINE__));
    ASSERT_NE(t, nullptr);
    std::memcpy(t, "abcdefg", 8);
    t = static_cast<char*>(a.Realloc(t, 4096, __FILE__, __LINE__));
    ASSERT_NE(t, nullptr);
    EXPECT_STREQ(t, "abcdefg");
    free(t - sizeof(CL_TraceInfo));

    CL_Allocator base;
    EXPECT_EQ(base.Alloc(8), nullptr);
    EXPECT_EQ(base.Realloc(nullptr, 8), nullptr);
}

TEST(Object, NullDeleteIsHarmless) {
    struct Thing : CL_Object {
        int x = 3;
    };
    Thing* t = new Thing;
    EXPECT_EQ(t->x, 3);
    delete t;
    Thing* none = nullptr;
    delete none;
    Thing* arr = new Thing[4];
    delete[] arr;
}

// Larger than any address space: the heap cannot provide it.
struct Huge : CL_Object {
    int fFirst = 1;
    char fRest[size_t(1) << 60];
};

TEST(Object, ExhaustedHeapGivesNullInsteadOfConstructing) {
#if ZELMO_SANITIZER_HEAP
    GTEST_SKIP() << "the sanitizer's allocator reports such sizes itself";
#else
    Huge* one = new Huge;
    EXPECT_EQ(one, nullptr);
    // A count known only at run time: some compilers refuse the constant-size array.
    volatile size_t count = 2;
    Huge* many = new Huge[count];
    EXPECT_EQ(many, nullptr);
#endif
}

}  // namespace
