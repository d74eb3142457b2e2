// SPDX-License-Identifier: MIT
// The ports C functions: the 100-record cap on lists, and lists fetched
// concurrently on two handles.
#include <gtest/gtest.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <future>
#include <new>
#include <string>
#include <thread>

#include "kine/KinePorts.h"
#include "kine/kine_c.h"
#include "support/discovery.h"
#include "support/fake_port_tree.h"

// The array allocation of a 100-triple list, on a thread that asks for it,
// waits 200 ms: a window for another caller to list meanwhile.
thread_local bool stallListAllocation = false;
std::atomic<bool> listAllocationStalled{false};

// While set on a thread, its array allocations fail, as when memory runs out.
thread_local bool arrayAllocationsFail = false;

void* operator new[](std::size_t size) {
    if (arrayAllocationsFail) throw std::bad_alloc();
    if (stallListAllocation && size == 300 * sizeof(char*)) {
        stallListAllocation = false;
        listAllocationStalled = true;
        std::this_thread::sleep_for(std::chrono::milliseconds(200));
    }
    if (void* p = std::malloc(size ? size : 1)) return p;
    throw std::bad_alloc();
}
void operator delete[](void* p) noexcept { std::free(p); }
void operator delete[](void* p, std::size_t) noexcept { std::free(p); }

namespace {

using namespace kine_test;
using namespace std::chrono_literals;

KinePorts* portsOf(KinePortsHandle* h) { return reinterpret_cast<KinePorts*>(h); }

// `count` device nodes without sysfs entries, taken unprobed: many known
// DAQs without a simulator each.
KinePortsHandle* handleWithPlainPorts(FakePortTree& tree, int count) {
    for (int i = 0; i < count; ++i) {
        char name[16];
        std::snprintf(name, sizeof name, "ttyS%03d", i);
        tree.plugPlain(name);
    }
    tree.use();
    KinePortsHandle* h = callKinePorts_Create();
    portsOf(h)->isNewPort(false);
    waitFor([&] { return callGetSizePorts(h) == count; }, 10s);
    return h;
}

// Only 100 records fit the list: the C list and its count stop there, so the
// caller frees exactly what was allocated; C++ callers still see the total.
TEST(PortsCFunctions, ListOfMoreThan100DaqsHolds100) {
    FakePortTree tree;
    KinePortsHandle* h = handleWithPlainPorts(tree, 105);
    ASSERT_EQ(callGetSizePorts(h), 105);
    char** list = callListPorts(h);
    const int n = callGetLastSize(h);
    EXPECT_EQ(n, 100);
    EXPECT_EQ(portsOf(h)->getLastSize(), 105);
    for (int i = 0; i < n; ++i) {
        char name[16];
        std::snprintf(name, sizeof name, "ttyS%03d", i);
        EXPECT_EQ(list[3 * i], tree.port(name));
        EXPECT_STREQ(list[3 * i + 1], "unknown");
    }
    callDeletePORTLIST(&list, n);
    callKinePorts_Dispose(h);
}

// Two C callers listing at once on different handles each get their own
// monitor's DAQs, never records that the other one's listing wrote into the
// shared array. The first caller is held up between its listing and its
// copies (at the allocation of its 300-pointer list) while the second lists.
TEST(PortsCFunctions, ConcurrentListsOnTwoHandlesStayWhole) {
    FakePortTree treeA, treeB;
    KinePortsHandle* a = handleWithPlainPorts(treeA, 100);
    KinePortsHandle* b = handleWithPlainPorts(treeB, 100);
    auto names = [](char** list, int n, const std::string& root) {
        int own = 0;
        for (int i = 0; i < n; ++i) own += std::string(list[3 * i]).compare(0, root.size(), root) == 0;
        return own;
    };
    std::thread second([&] {
        ASSERT_TRUE(waitFor([] { return listAllocationStalled.load(); }, 10s));
        char** list = callListPorts(b);
        const int n = callGetLastSize(b);
        EXPECT_EQ(names(list, n, treeB.dev()), 100);
        callDeletePORTLIST(&list, n);
    });
    stallListAllocation = true;
    char** list = callListPorts(a);
    const int n = callGetLastSize(a);
    second.join();
    EXPECT_EQ(names(list, n, treeA.dev()), 100);
    callDeletePORTLIST(&list, n);
    callKinePorts_Dispose(a);
    callKinePorts_Dispose(b);
}

TEST(PortsCFunctions, EmptyListAndNullArguments) {
    FakePortTree tree;
    tree.use();
    callKinePorts_Dispose(nullptr);
    KinePortsHandle* h = callKinePorts_Create();
    char** list = callListPorts(h);
    EXPECT_NE(list, nullptr);
    EXPECT_EQ(callGetLastSize(h), 0);
    callDeletePORTLIST(&list, 0);
    callDeletePORTLIST(nullptr, 3);
    char* port[3] = {nullptr, nullptr, nullptr};
    callDeleteKPORT(port);
    callDeleteKPORT(nullptr);
    callGetNewPort(h, nullptr);
    callKinePorts_Dispose(h);
}

// A NULL handle lists nothing, and the releases the interface calls harmless
// stay harmless on what it hands out.
TEST(PortsCFunctions, NullHandleListsNothing) {
    char** list = callListPorts(nullptr);
    ASSERT_NE(list, nullptr);
    EXPECT_EQ(callGetLastSize(nullptr), 0);
    EXPECT_EQ(callGetSizePorts(nullptr), 0);
    EXPECT_FALSE(callIsNewPort(nullptr));
    EXPECT_FALSE(callIsLostPort(nullptr));
    callDeletePORTLIST(&list, 0);
    list = callListPorts(nullptr);
    callDeletePORTLIST(&list, -5);  // n < 1: only the array
    char** none = nullptr;
    callDeletePORTLIST(&none, 7);
    char* port[3] = {nullptr, nullptr, nullptr};
    callGetNewPort(nullptr, port);
    for (char* text : port) EXPECT_STREQ(text, "");
    callDeleteKPORT(port);
    callGetLostPort(nullptr, port);
    for (char* text : port) EXPECT_STREQ(text, "");
    delete[] port[1];
    port[1] = nullptr;  // a triple partly freed already
    callDeleteKPORT(port);
    callGetLostPort(nullptr, nullptr);
}

// Out of memory, a list is NULL and a triple three NULL slots, both fit for
// the usual release calls; once memory is back, discovery lists as before.
TEST(PortsCFunctions, MemoryExhaustionGivesNullNotACrash) {
    FakePortTree tree;
    auto daq = makeDaq(3);
    const std::string name = tree.plugUsb("ttyACM0", daq->devicePath());
    tree.use();
    KinePortsHandle* h = callKinePorts_Create();
    ASSERT_TRUE(waitFor([&] { return callIsNewPort(h); }, 20s));
    char* port[3] = {nullptr, nullptr, nullptr};
    arrayAllocationsFail = true;
    char** list = callListPorts(h);
    callGetNewPort(h, port);
    arrayAllocationsFail = false;
    EXPECT_EQ(list, nullptr);
    callDeletePORTLIST(&list, callGetLastSize(h));
    for (char* text : port) EXPECT_EQ(text, nullptr);
    callDeleteKPORT(port);

    list = callListPorts(h);
    ASSERT_EQ(callGetLastSize(h), 1);
    EXPECT_EQ(list[0], name);
    callDeletePORTLIST(&list, 1);
    callKinePorts_Dispose(h);
}

}  // namespace

namespace {

// callGetLastSize describes the list the calling thread took: another
// thread's shorter list on the same handle does not shrink it, so the first
// thread reads and frees exactly its own triples.
TEST(PortsCApi, LastSizeBelongsToTheListingThread) {
    FakePortTree tree;
    KinePortsHandle* h = handleWithPlainPorts(tree, 3);
    ASSERT_EQ(callGetSizePorts(h), 3);
    std::promise<void> listed, otherListed;
    int otherSize = -1;
    std::thread first([&] {
        char** list = callListPorts(h);
        listed.set_value();
        otherListed.get_future().wait();
        const int n = callGetLastSize(h);
        EXPECT_EQ(n, 3);
        for (int i = 0; i < n; ++i) EXPECT_EQ(std::string(list[3 * i]).rfind(tree.dev(), 0), 0u) << i;
        callDeletePORTLIST(&list, n);
    });
    listed.get_future().wait();
    tree.unplug("ttyS001");
    EXPECT_TRUE(waitFor([&] { return callGetSizePorts(h) == 2; }, 10s));
    std::thread([&] {
        EXPECT_EQ(callGetLastSize(h), 0) << "a thread that has not listed yet";
        char** list = callListPorts(h);
        otherSize = callGetLastSize(h);
        callDeletePORTLIST(&list, otherSize);
    }).join();
    otherListed.set_value();
    first.join();
    EXPECT_EQ(otherSize, 2);
    callKinePorts_Dispose(h);
}

}  // namespace
