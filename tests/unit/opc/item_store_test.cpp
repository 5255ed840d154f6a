// The toolkit's compact item records: records across chunk boundaries, IDs across arena blocks,
// records and IDs that never move while the store grows, and the toolkit's ID comparison.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "opc/toolkit/gb_data_access.h"
#include "opc/toolkit/gb_item_store.h"
#include "opc/toolkit/gb_test_view.h"

using namespace gb;

namespace {

std::string IdOf(size_t i) {
    // Lengths vary from 1 to 40 bytes, so IDs end at every offset of the arena's blocks.
    return std::to_string(i) + std::string(i % 37, char('a' + i % 26));
}

TEST(ItemStore, RecordsAndIdsSurviveGrowthAcrossChunksAndBlocks) {
    ItemRecords store;
    const size_t n = 3 * ItemRecords::kChunkItems + 17;
    std::vector<const ItemRecords::Record*> addresses;
    std::vector<const char*> idAddresses;
    for (size_t i = 0; i < n; ++i) {
        ItemRecords::Record& r = store.Append(IdOf(i));
        r.itemNumber = static_cast<int32_t>(i);
        r.SetValue(MakeVariantR4(float(i)));
        addresses.push_back(&r);
        idAddresses.push_back(r.id);
    }
    ASSERT_EQ(store.Size(), n);
    for (size_t i = 0; i < n; ++i) {
        const ItemRecords::Record& r = store[i];
        ASSERT_EQ(&r, addresses[i]) << "record " << i << " moved";
        ASSERT_EQ(r.id, idAddresses[i]) << "ID " << i << " moved";
        ASSERT_EQ(r.Id(), IdOf(i)) << i;
        ASSERT_EQ(r.itemNumber, int32_t(i));
        ASSERT_EQ(r.Value().fltVal, float(i));
    }
}

TEST(ItemStore, EdgeLengthIds) {
    struct Case {
        const char* what;
        size_t length;
    } cases[] = {
        {"empty", 0},
        {"one byte", 1},
        {"exactly one block", ItemRecords::kArenaBlockBytes},
        {"longer than a block", ItemRecords::kArenaBlockBytes + 1},
        {"a block and a half", ItemRecords::kArenaBlockBytes * 3 / 2},
    };
    ItemRecords store;
    std::vector<std::string> ids;
    for (const Case& c : cases) {
        // A short ID first, so the long one does not start on a fresh block.
        ids.push_back("x");
        ids.push_back(std::string(c.length, c.what[0]));
    }
    for (const std::string& id : ids) store.Append(id);
    for (size_t i = 0; i < ids.size(); ++i) EXPECT_EQ(store[i].Id(), ids[i]) << cases[i / 2].what;
}

TEST(ItemStore, FootprintIsTheRecordsAndTheIdBytesWithoutPerItemOverhead) {
    ItemRecords store;
    const size_t n = 50000;
    size_t idBytes = 0;
    for (size_t i = 0; i < n; ++i) {
        const std::string id = "Point(ttyS0).Device(T \xe2\x84\x96" + std::to_string(i) + ").Param";
        idBytes += id.size();
        store.Append(id);
    }
    // At most one partly used chunk of records and one arena block beyond what the items need.
    EXPECT_LE(store.Footprint(), n * sizeof(ItemRecords::Record) + idBytes +
                                     ItemRecords::kChunkItems * sizeof(ItemRecords::Record) +
                                     ItemRecords::kArenaBlockBytes + 4096);
    EXPECT_LE(sizeof(ItemRecords::Record), 64u);
}

class Plain : public GBDataAccess {
  public:
    ~Plain() override { GBStopEndpoint(); }
};

TEST(ItemStore, ToolkitComparesIdsAsCreatedAndRoundTripsThemThroughGetItem) {
    Plain s;
    const VARIANT v = MakeVariantR4(0);
    const std::u16string ids[] = {u"A(ttyS0).D(T №1).P", u"Ω", u"😀 emoji", std::u16string(255, u'я')};
    std::vector<uint32_t> handles;
    for (const std::u16string& id : ids) {
        uint32_t h = 0;
        ASSERT_EQ(s.GBCreateItem(&h, 7, id.c_str(), OPC_READABLE, 0, &v, OPC_NOENUM, nullptr), S_OK);
        handles.push_back(h);
    }
    for (size_t i = 0; i < handles.size(); ++i) {
        EXPECT_TRUE(s.GBItemIdIs(handles[i], ids[i])) << i;
        EXPECT_FALSE(s.GBItemIdIs(handles[i], ids[(i + 1) % handles.size()])) << i;
        EXPECT_FALSE(s.GBItemIdIs(handles[i], ids[i].substr(0, ids[i].size() - 1))) << "a prefix " << i;
        GBTestView::Item item;
        ASSERT_TRUE(s.ForTests().GetItem(handles[i], &item));
        EXPECT_EQ(item.id, ids[i]);
        EXPECT_EQ(item.handle, handles[i]);
        EXPECT_EQ(item.itemNumber, 7);
        EXPECT_EQ(item.quality, OPC_QUALITY_WAITING_FOR_INITIAL_DATA);
    }
    EXPECT_FALSE(s.GBItemIdIs(0, ids[0]));
    EXPECT_FALSE(s.GBItemIdIs(handles.back() + 1, ids[0]));
    const std::vector<qora::ua::ItemInfo> listed = s.GBBackend().ListItems();
    ASSERT_EQ(listed.size(), handles.size());
    EXPECT_EQ(listed[1].itemId, "\xce\xa9");
    EXPECT_EQ(listed[3].handle, handles[3]);
}

}  // namespace
