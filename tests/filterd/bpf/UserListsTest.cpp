// SPDX-License-Identifier: GPL-3.0-or-later
#include "filterd/bpf/UserLists.h"

#include "filterd/bpf/NameHash.h"
#include "tests/filterd/FilterdTestSupport.h"
#include "tests/support/TestEnvironment.h"

#include <bpf/bpf.h>
#include <gtest/gtest.h>
#include <linux/types.h>

using namespace Filterd;
using Quilvane::Wire::UniqueFd;
using namespace std::chrono_literals;

namespace {

std::vector<std::uint8_t> payloadOf(const std::vector<std::string>& names) {
    std::vector<std::uint8_t> bytes;
    for (const auto& name : names) {
        bytes.insert(bytes.end(), name.begin(), name.end());
        bytes.push_back(0);
    }
    return bytes;
}

// A map of lists shaped like the kernel programs' own, with room for three owners: two users and
// the list for every process.
class UserListsTest : public ::testing::Test {
protected:
    void SetUp() override {
        std::string why;
        if (!FilterdTestSupport::canUseBpf(why)) {
            GTEST_SKIP() << why;
        }
        LIBBPF_OPTS(bpf_map_create_opts, innerOptions, .map_flags = BPF_F_NO_PREALLOC);
        UniqueFd inner(bpf_map_create(BPF_MAP_TYPE_HASH, "qv_test_inner", 8, 1, 1, &innerOptions));
        ASSERT_TRUE(inner);
        LIBBPF_OPTS(bpf_map_create_opts, outerOptions, .inner_map_fd = static_cast<__u32>(inner.get()));
        m_outer.reset(bpf_map_create(BPF_MAP_TYPE_HASH_OF_MAPS, "qv_test_lists", 4, 4, 3, &outerOptions));
        ASSERT_TRUE(m_outer);
    }

    bool replace(UserLists& lists, ListOwner owner, const std::vector<std::string>& names,
                 std::string& error) {
        const auto bytes = payloadOf(names);
        std::size_t count = 0;
        for (const auto& name : names) {
            count += !name.empty();
        }
        return lists.replace(owner, bytes, count, error);
    }

    // Whether the kernel's list of `owner` holds the hash of `name`, once the worker is done.
    bool listed(ListOwner owner, const std::string& name, bool expected) {
        return TestEnvironment::waitUntil(
            [&] {
                __u32 key = owner;
                __u32 innerId = 0;
                bool found = false;
                if (bpf_map_lookup_elem(m_outer.get(), &key, &innerId) == 0) {
                    UniqueFd inner(bpf_map_get_fd_by_id(innerId));
                    const __u64 hash = nameHash(name);
                    __u8 value = 0;
                    found = inner && bpf_map_lookup_elem(inner.get(), &hash, &value) == 0;
                }
                return found == expected;
            },
            10000ms); // generous: an emulated kernel builds a map slowly
    }

    UniqueFd m_outer;
};

} // namespace

TEST_F(UserListsTest, ListsHoldTheSharedHashOfEachFileName) {
    UserLists lists(m_outer.get(), 2);
    std::string error;
    ASSERT_TRUE(replace(lists, 1000, {"curl", "", "bin/wget"}, error)) << error;
    EXPECT_TRUE(listed(1000, "curl", true));
    EXPECT_TRUE(listed(1000, "wget", false)) << "a name with a slash matches no file name";
    ASSERT_TRUE(replace(lists, 1000, {}, error));
    EXPECT_TRUE(listed(1000, "curl", false)) << "an empty command empties the list";
}

TEST_F(UserListsTest, OneUserMoreThanTheBoundIsRefusedAndTheOthersStay) {
    UserLists lists(m_outer.get(), 3);
    std::string error;
    ASSERT_TRUE(replace(lists, 1, {"a"}, error));
    ASSERT_TRUE(replace(lists, 2, {"b"}, error));
    EXPECT_FALSE(replace(lists, 3, {"c"}, error));
    EXPECT_NE(error.find("the lists of 2 users"), std::string::npos) << error;
    EXPECT_TRUE(replace(lists, kEveryone, {"e"}, error)) << "the list for every process always has its place";
    EXPECT_TRUE(listed(kEveryone, "e", true));
    EXPECT_TRUE(replace(lists, 2, {"b", "bb"}, error)) << "a user with a list may replace it";
    EXPECT_TRUE(replace(lists, 3, {}, error)) << "an empty list takes no room";
    ASSERT_TRUE(replace(lists, 1, {}, error));
    EXPECT_TRUE(replace(lists, 3, {"c"}, error)) << "room again once a list is emptied";
    EXPECT_TRUE(listed(3, "c", true));
    EXPECT_TRUE(listed(2, "bb", true));
}
