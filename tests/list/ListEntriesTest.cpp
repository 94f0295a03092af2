// The entry operations: append, take a range, delete and what they write.
#include "ListTestHelpers.h"
#include "list/RangePrefix.h"
#include "support/TempDir.h"

#include <climits>
#include <filesystem>
#include <optional>

namespace {

const std::vector<std::string> kAlwaysPresent = {"FileName", "FileSize", "Downloaded", "Percent",
                                                 "Remains",  "Segments", "URL",        "Referer"};

class ListEntries : public ::testing::Test {
protected:
    void SetUp() override { list.OpenList(); }

    // The saved file as a fresh start-up would load it.
    std::unique_ptr<ListDocument> Reloaded() {
        auto loaded = std::make_unique<ListDocument>(list.ListPath());
        loaded->OpenList();
        return loaded;
    }

    TempDir dir;
    ListDocument list{dir.file("List.xml")};
};

TEST_F(ListEntries, AppendWritesAttributesInOrderWithoutOptionalGroups) {
    const ListEntry entry = list.AppendEntry(SampleEntry("a.bin", {{"0", "99"}, {"500", "599"}}));
    const ElementSnapshot written = SnapshotOf(entry);
    EXPECT_EQ(written.name, "N1");
    EXPECT_EQ(AttributeNames(written), kAlwaysPresent);
    EXPECT_EQ(entry.AttributeText("Referer"), "");
    for (const char* absent : {"AuthName", "AuthPass", "Proxy", "ProxyName", "ProxyPass"})
        EXPECT_EQ(ErrorOf([&] { entry.AttributeText(absent); }), kNullConversionMessage) << absent;

    EXPECT_EQ(ChildNames(written), std::vector<std::string>{"Segments"});
    EXPECT_EQ(ChildNames(SegmentsOf(written)), (std::vector<std::string>{"Begin", "End"}));
    EXPECT_EQ(QueueEnd(written, "Begin").attributes, (Pairs{{"S1", "0"}, {"S2", "500"}}));
    EXPECT_EQ(QueueEnd(written, "End").attributes, (Pairs{{"S1", "99"}, {"S2", "599"}}));
    EXPECT_TRUE(entry.HasSegmentQueue());
    EXPECT_EQ(entry.FirstRange(), RangeTexts("0", "99"));
}

TEST_F(ListEntries, AppendWritesEmptyGroupsAfterTheFixedAttributes) {
    EntryValues values = SampleEntry("b.bin");
    values.auth = EntryValues::Auth{"", ""};
    values.proxy = EntryValues::Proxy{"", "", ""};
    list.AppendEntry(SampleEntry("a.bin"));
    const ListEntry entry = list.AppendEntry(values);
    EXPECT_EQ(SnapshotOf(entry).name, "N2");
    std::vector<std::string> expected = kAlwaysPresent;
    expected.insert(expected.end(), {"AuthName", "AuthPass", "Proxy", "ProxyName", "ProxyPass"});
    EXPECT_EQ(AttributeNames(SnapshotOf(entry)), expected);
    for (const char* empty : {"AuthName", "AuthPass", "Proxy", "ProxyName", "ProxyPass"})
        EXPECT_EQ(entry.AttributeText(empty), "") << empty;

    // Nothing is written until the caller saves; then the order survives a reload.
    EXPECT_EQ(Reloaded()->EntryCount(), 0);
    list.SaveList();
    const auto reloaded = Reloaded();
    EXPECT_EQ(AttributeNames(SnapshotOf(reloaded->FindEntry(1))), expected);
}

TEST_F(ListEntries, AppendRefusesTextsTheListCannotKeepAndAddsNothing) {
    for (const std::string& bad : {std::string("a\x01z"), std::string("a\0z", 3),
                                   std::string("\xFF\xFE"), std::string("\xED\xA0\x80")}) {
        EntryValues values = SampleEntry("a.bin", {{"0", "1"}});
        values.URL = bad;
        EXPECT_NE(ErrorOf([&] { list.AppendEntry(values); }), "no error");
        values = SampleEntry("a.bin", {{"0", bad}});
        EXPECT_NE(ErrorOf([&] { list.AppendEntry(values); }), "no error");
    }
    EXPECT_EQ(list.EntryCount(), 0);
}

TEST_F(ListEntries, TakeFirstRangeShiftsBothEndsDownSetsCountersInPlaceAndSaves) {
    EntryValues values = SampleEntry("a.bin", {{"0", "99"}, {"600", "699"}, {"900", "999"}});
    values.proxy = EntryValues::Proxy{"127.0.0.1:3128", "p", "q"};
    const ListEntry entry = list.AppendEntry(values);
    const auto namesBefore = AttributeNames(SnapshotOf(entry));

    list.TakeFirstRange(entry, {"499", "49.9%", "501", "2"});

    const auto reloaded = Reloaded();
    for (const ListEntry& seen : {entry, reloaded->FindEntry(0)}) {
        const ElementSnapshot now = SnapshotOf(seen);
        EXPECT_EQ(AttributeNames(now), namesBefore);
        EXPECT_EQ(now.Attribute("Downloaded"), "499");
        EXPECT_EQ(now.Attribute("Percent"), "49.9%");
        EXPECT_EQ(now.Attribute("Remains"), "501");
        EXPECT_EQ(now.Attribute("Segments"), "2");
        EXPECT_EQ(now.Attribute("FileSize"), "1000");
        EXPECT_EQ(QueueEnd(now, "Begin").attributes, (Pairs{{"S1", "600"}, {"S2", "900"}}));
        EXPECT_EQ(QueueEnd(now, "End").attributes, (Pairs{{"S1", "699"}, {"S2", "999"}}));
    }

    list.TakeFirstRange(entry, {"598", "59.8%", "402", "1"});
    EXPECT_EQ(entry.FirstRange(), RangeTexts("900", "999"));
    list.TakeFirstRange(entry, {"697", "69.7%", "303", "0"});
    // The last range leaves both ends without attributes, and the queue in place.
    const ElementSnapshot emptied = SnapshotOf(Reloaded()->FindEntry(0));
    EXPECT_EQ(ChildNames(SegmentsOf(emptied)), (std::vector<std::string>{"Begin", "End"}));
    EXPECT_TRUE(QueueEnd(emptied, "Begin").attributes.empty());
    EXPECT_TRUE(QueueEnd(emptied, "End").attributes.empty());
    EXPECT_TRUE(entry.HasSegmentQueue());
    EXPECT_EQ(ErrorOf([&] { entry.FirstRange(); }), kNullConversionMessage);
}

// Several connections change the queue anywhere: a split keeps both halves
// where the range stood, a prefix or a take of a later range leaves the
// others as they were; each is one save.
TEST_F(ListEntries, RangesAnywhereInTheQueueAreSplitRecordedAndTaken) {
    const ListEntry entry =
        list.AppendEntry(SampleEntry("a.bin", {{"0", "99"}, {"600", "699"}, {"900", "999"}}));
    auto queueOnDisk = [&] { return Reloaded()->FindEntry(0).Queue(); };

    list.SplitRange(entry, 1, "650", {"400", "40%", "600", "4"});
    EXPECT_EQ(queueOnDisk(), (std::vector<RangeTexts>{
                                 {"0", "99"}, {"600", "650"}, {"650", "699"}, {"900", "999"}}));
    EXPECT_EQ(SnapshotOf(entry).Attribute("Segments"), "4");

    list.RecordRangePrefix(entry, 2, "660", {"410", "41%", "590", "4"});
    list.TakeRange(entry, 1, {"460", "46%", "540", "3"});
    EXPECT_EQ(queueOnDisk(),
              (std::vector<RangeTexts>{{"0", "99"}, {"660", "699"}, {"900", "999"}}));
    list.TakeRange(entry, 2, {"559", "55.9%", "441", "2"});
    EXPECT_EQ(queueOnDisk(), (std::vector<RangeTexts>{{"0", "99"}, {"660", "699"}}));
    EXPECT_EQ(SnapshotOf(Reloaded()->FindEntry(0)).Attribute("Remains"), "441");

    // A range the queue does not hold changes nothing.
    EXPECT_EQ(ErrorOf([&] {
                  list.SplitRange(entry, 2, "1", {"1", "1%", "1", "1"});
              }),
              kNullConversionMessage);
    EXPECT_EQ(queueOnDisk(), (std::vector<RangeTexts>{{"0", "99"}, {"660", "699"}}));
}

TEST(RangePrefix, CountersMoveByTheRecordedBytesAndTheRestBringsThemWhereTheWholeRangeWould) {
    struct Case {
        const char* what;
        RangeState now;
        std::int64_t fileSize, durableTo;
        std::optional<PrefixRecord> expected;
    };
    const Case cases[] = {
        {"nothing new", {100, 200, 900, 100}, 1000, 100, std::nullopt},
        {"nothing at all", {100, 200, 900, 100}, 1000, 0, std::nullopt},
        {"a prefix", {100, 200, 900, 100}, 1000, 150, PrefixRecord{false, 150, 950, 50}},
        // One byte left: its Begin is its End.
        {"all but the last byte",
         {100, 200, 900, 100},
         1000,
         200,
         PrefixRecord{false, 200, 1000, 0}},
        {"the whole range", {100, 200, 900, 100}, 1000, 201, PrefixRecord{true, 0, 1000, 0}},
        // A range whose End lies past the file's last byte ends with the file.
        {"a tail prefix", {900, 2000, 0, 1100}, 1000, 950, PrefixRecord{false, 950, 50, 1050}},
        {"a whole tail", {900, 2000, 0, 1100}, 1000, 1000, PrefixRecord{true, 0, 1100, 0}},
        {"a range begun elsewhere",
         {150, 200, 950, 50},
         1000,
         180,
         PrefixRecord{false, 180, 980, 20}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        const std::optional<PrefixRecord> got = RecordPrefix(c.now, c.fileSize, c.durableTo);
        ASSERT_EQ(got.has_value(), c.expected.has_value());
        if (!got) continue;
        EXPECT_EQ(got->wholeRange, c.expected->wholeRange);
        if (!got->wholeRange) {
            EXPECT_EQ(got->begin, c.expected->begin);
        }
        EXPECT_EQ(got->downloaded, c.expected->downloaded);
        EXPECT_EQ(got->remains, c.expected->remains);
        // Taking the rest later moves the counters by End - new Begin.
        const std::int64_t rest = got->wholeRange ? 0 : c.now.end - got->begin;
        EXPECT_EQ(got->downloaded + rest, c.now.downloaded + (c.now.end - c.now.begin));
        EXPECT_EQ(got->remains - rest, c.now.remains - (c.now.end - c.now.begin));
    }
    EXPECT_NE(ErrorOf([] { RecordPrefix({0, 10, INT64_MAX - 1, 0}, 100, 5); }), "no error");
}

TEST_F(ListEntries, RecordFirstRangePrefixMovesBeginAndTheCountersInOneSave) {
    const ListEntry entry =
        list.AppendEntry(SampleEntry("a.bin", {{"100", "199"}, {"600", "699"}}));
    list.RecordFirstRangePrefix(entry, "150", {"450", "45%", "550", "2"});
    const ElementSnapshot now = SnapshotOf(Reloaded()->FindEntry(0));
    EXPECT_EQ(QueueEnd(now, "Begin").attributes, (Pairs{{"S1", "150"}, {"S2", "600"}}));
    EXPECT_EQ(QueueEnd(now, "End").attributes, (Pairs{{"S1", "199"}, {"S2", "699"}}));
    EXPECT_EQ(now.Attribute("Downloaded"), "450");
    EXPECT_EQ(now.Attribute("Percent"), "45%");
    EXPECT_EQ(now.Attribute("Remains"), "550");
    EXPECT_EQ(now.Attribute("Segments"), "2");

    // A save that fails leaves the document as it was.
    const std::string saved = ReadWholeFile(list.ListPath());
    const ElementSnapshot before = SnapshotOf(entry);
    std::filesystem::remove(list.ListPath());
    std::filesystem::create_directory(list.ListPath());
    EXPECT_NE(ErrorOf([&] {
                  list.RecordFirstRangePrefix(entry, "170", {"470", "47%", "530", "2"});
              }),
              "no error");
    EXPECT_EQ(SnapshotOf(entry).attributes, before.attributes);
    EXPECT_EQ(QueueEnd(SnapshotOf(entry), "Begin").attributes,
              (Pairs{{"S1", "150"}, {"S2", "600"}}));
    std::filesystem::remove(list.ListPath());
    WriteWholeFile(list.ListPath(), saved);
}

TEST_F(ListEntries, TakeFirstRangeOfAQueueItCannotAdvanceChangesNothing) {
    const std::string head = "<?xml version=\"1.0\" encoding=\"Windows-1251\"?>\n<MAIN><N1 "
                             "FileName=\"a\" Downloaded=\"0\" Percent=\"0%\" Remains=\"30\" "
                             "Segments=\"2\">";
    const std::string tail = "</N1></MAIN>\n";
    struct Case {
        const char* what;
        std::string queue;
        bool hasQueue;
    };
    const Case cases[] = {
        {"a gap in Begin",
         "<Segments><Begin S1=\"0\" S7=\"70\"/><End S1=\"9\" S2=\"29\"/></Segments>", true},
        // Begin is advanced before End fails: it is put back.
        {"a gap in End",
         "<Segments><Begin S1=\"0\" S2=\"20\"/><End S1=\"9\" S7=\"79\"/></Segments>", true},
        {"no End", "<Segments><Begin S1=\"0\"/></Segments>", false},
        {"no Segments", "", false},
    };
    for (const Case& c : cases) {
        const std::string bytes = head + c.queue + tail;
        WriteWholeFile(list.ListPath(), bytes);
        list.OpenList();
        const ListEntry entry = list.FindEntry(0);
        EXPECT_EQ(entry.HasSegmentQueue(), c.hasQueue) << c.what;
        const ElementSnapshot before = RootSnapshot(list);
        EXPECT_EQ(ErrorOf([&] {
                      list.TakeFirstRange(entry, {"10", "33%", "20", "1"});
                  }),
                  kNullConversionMessage)
            << c.what;
        EXPECT_EQ(RootSnapshot(list), before) << c.what;
        EXPECT_EQ(ReadWholeFile(list.ListPath()), bytes) << c.what;
    }
}

TEST_F(ListEntries, ReplaceAddressWritesTheGroupsInImportOrderAndKeepsTheRest) {
    const std::vector<std::string> auth = {"AuthName", "AuthPass"};
    const std::vector<std::string> proxy = {"Proxy", "ProxyName", "ProxyPass"};
    struct Case {
        const char* what;
        std::string attributesBefore; // written after Segments="1"
        bool withAuth, withProxy;
    };
    const Case cases[] = {
        {"groups absent, both added", " URL=\"http://old/a\" Referer=\"r\"", true, true},
        {"both present, auth dropped",
         " URL=\"http://old/a\" Referer=\"\" AuthName=\"u\" AuthPass=\"p\" Proxy=\"\""
         " ProxyName=\"\" ProxyPass=\"\"",
         false, true},
        {"out of order and no Referer, proxy dropped",
         " Proxy=\"g:1\" ProxyName=\"\" ProxyPass=\"\" URL=\"http://old/a\"", true, false},
    };
    for (const Case& c : cases) {
        const std::string queue = "<Segments><Begin S1=\"10\"/><End S1=\"19\"/></Segments>";
        WriteWholeFile(list.ListPath(),
                       "<?xml version=\"1.0\" encoding=\"Windows-1251\"?>\n<MAIN><N1 "
                       "FileName=\"a\" FileSize=\"30\" Downloaded=\"20\" Percent=\"66%\" "
                       "Remains=\"10\" Segments=\"1\"" +
                           c.attributesBefore + " Extra=\"x\">" + queue + "</N1></MAIN>\n");
        list.OpenList();
        const ListEntry entry = list.FindEntry(0);
        EntryValues values;
        values.URL = "http://new/a";
        values.Referer = "http://ref/";
        if (c.withAuth) values.auth = EntryValues::Auth{"user", ""};
        if (c.withProxy) values.proxy = EntryValues::Proxy{"gate:3128", "pn", "pp"};
        values.FileName = "ignored";
        list.ReplaceAddress(entry, values);

        std::vector<std::string> expected = kAlwaysPresent;
        if (c.withAuth) expected.insert(expected.end(), auth.begin(), auth.end());
        if (c.withProxy) expected.insert(expected.end(), proxy.begin(), proxy.end());
        expected.push_back("Extra");
        const ElementSnapshot saved = SnapshotOf(Reloaded()->FindEntry(0));
        EXPECT_EQ(AttributeNames(saved), expected) << c.what;
        EXPECT_EQ(saved, SnapshotOf(entry)) << c.what;
        EXPECT_EQ(saved.Attribute("FileName"), "a") << c.what;
        EXPECT_EQ(saved.Attribute("Downloaded"), "20") << c.what;
        EXPECT_EQ(saved.Attribute("URL"), "http://new/a") << c.what;
        EXPECT_EQ(saved.Attribute("Referer"), "http://ref/") << c.what;
        EXPECT_EQ(saved.Attribute("Extra"), "x") << c.what;
        if (c.withAuth) {
            EXPECT_EQ(saved.Attribute("AuthName"), "user") << c.what;
        }
        if (c.withProxy) {
            EXPECT_EQ(saved.Attribute("Proxy"), "gate:3128") << c.what;
        }
        EXPECT_EQ(QueueEnd(saved, "Begin").attributes, (Pairs{{"S1", "10"}})) << c.what;
        EXPECT_EQ(QueueEnd(saved, "End").attributes, (Pairs{{"S1", "19"}})) << c.what;
    }

    // A text the list cannot keep changes nothing, in memory or on disk.
    const std::string onDisk = ReadWholeFile(list.ListPath());
    const ElementSnapshot before = RootSnapshot(list);
    EntryValues bad;
    bad.URL = "http://a";
    bad.proxy = EntryValues::Proxy{"g:1", "a\x01", ""};
    EXPECT_NE(ErrorOf([&] { list.ReplaceAddress(list.FindEntry(0), bad); }), "no error");
    EXPECT_EQ(RootSnapshot(list), before);
    EXPECT_EQ(ReadWholeFile(list.ListPath()), onDisk);
}

TEST_F(ListEntries, AChecksumIsTheLastAttributeAndEditAddsChangesOrClearsIt) {
    EntryValues values = SampleEntry("c.bin", {{"0", "99"}});
    values.proxy = EntryValues::Proxy{"", "", ""};
    values.Checksum = "sha256:9f86d0";
    const ListEntry entry = list.AppendEntry(values);
    list.SaveList();
    std::vector<std::string> expected = kAlwaysPresent;
    expected.insert(expected.end(), {"Proxy", "ProxyName", "ProxyPass", "Checksum"});
    EXPECT_EQ(AttributeNames(SnapshotOf(Reloaded()->FindEntry(0))), expected);

    // Edit: changed in place, cleared (the entry is then as one without),
    // and added again last; the address before it stays where it was.
    EntryValues address;
    address.URL = values.URL;
    address.proxy = values.proxy;
    address.Checksum = "md5:0123";
    list.ReplaceAddress(entry, address);
    EXPECT_EQ(AttributeNames(SnapshotOf(Reloaded()->FindEntry(0))), expected);
    EXPECT_EQ(Reloaded()->FindEntry(0).AttributeText("Checksum"), "md5:0123");
    address.Checksum.clear();
    list.ReplaceAddress(entry, address);
    expected.pop_back();
    EXPECT_EQ(AttributeNames(SnapshotOf(Reloaded()->FindEntry(0))), expected);
    address.Checksum = "sha1:ab";
    list.ReplaceAddress(entry, address);
    expected.push_back("Checksum");
    EXPECT_EQ(AttributeNames(SnapshotOf(Reloaded()->FindEntry(0))), expected);

    // Queued whole again: one range over the file and the counters, saved.
    list.QueueWholeFile(entry, {"0", "0%", values.FileSize, "1"});
    const ElementSnapshot saved = SnapshotOf(Reloaded()->FindEntry(0));
    EXPECT_EQ(QueueEnd(saved, "Begin").attributes, (Pairs{{"S1", "0"}}));
    EXPECT_EQ(QueueEnd(saved, "End").attributes, (Pairs{{"S1", values.FileSize}}));
    EXPECT_EQ(saved.Attribute("Downloaded"), "0");
    EXPECT_EQ(saved.Attribute("Remains"), values.FileSize);
    EXPECT_EQ(saved.Attribute("Segments"), "1");
}

TEST_F(ListEntries, AnEntryStaysValidWhileOthersAreAppended) {
    const ListEntry entry = list.AppendEntry(SampleEntry("a.bin", {{"0", "9"}, {"20", "29"}}));
    for (int i = 0; i < 200; ++i)
        list.AppendEntry(SampleEntry("more" + std::to_string(i) + ".bin", {{"0", "9"}}));

    EXPECT_EQ(entry, list.FindEntry(0));
    EXPECT_EQ(entry.AttributeText("FileName"), "a.bin");
    list.TakeFirstRange(entry, {"409", "40.9%", "591", "1"});
    const auto reloaded = Reloaded();
    EXPECT_EQ(reloaded->FindEntry(0).FirstRange(), RangeTexts("20", "29"));
    EXPECT_EQ(reloaded->FindEntry(0).AttributeText("Downloaded"), "409");
    EXPECT_EQ(reloaded->FindEntry(200).FirstRange(), RangeTexts("0", "9"));
    EXPECT_EQ(reloaded->FindEntry(200).AttributeText("Downloaded"), "400");

    // An entry of another list is refused rather than changed there.
    EXPECT_EQ(ErrorOf([&] {
                  reloaded->TakeFirstRange(entry, {"1", "1%", "1", "1"});
              }),
              "The element does not belong to the download list.");
}

TEST_F(ListEntries, DeleteMiddleRowRenumbersAndKeepsEverythingOfTheRest) {
    list.AppendEntry(SampleEntry("first.bin", {{"0", "9"}}));
    list.AppendEntry(SampleEntry("second.bin"));
    EntryValues third = SampleEntry("third.bin", {{"10", "19"}, {"30", "39"}});
    third.auth = EntryValues::Auth{"name", "pass"};
    third.proxy = EntryValues::Proxy{"127.0.0.1:8080", "pn", "pp"};
    const Pairs thirdAttributes = SnapshotOf(list.AppendEntry(third)).attributes;

    list.DeleteEntry(1);

    // In memory and as the saved file loads again.
    const auto check = [&](const ListDocument& doc) {
        ASSERT_EQ(doc.EntryCount(), 2);
        EXPECT_EQ(ChildNames(RootSnapshot(doc)), (std::vector<std::string>{"N1", "N2"}));
        EXPECT_EQ(doc.FindEntry(0).AttributeText("FileName"), "first.bin");
        const ElementSnapshot moved = SnapshotOf(doc.FindEntry(1));
        EXPECT_EQ(moved.attributes, thirdAttributes);
        EXPECT_EQ(ChildNames(moved), std::vector<std::string>{"Segments"});
        EXPECT_EQ(ChildNames(SegmentsOf(moved)), (std::vector<std::string>{"Begin", "End"}));
        EXPECT_EQ(QueueEnd(moved, "Begin").attributes, (Pairs{{"S1", "10"}, {"S2", "30"}}));
        EXPECT_EQ(QueueEnd(moved, "End").attributes, (Pairs{{"S1", "19"}, {"S2", "39"}}));
    };
    check(list);
    check(*Reloaded());
}

TEST_F(ListEntries, DeleteOnlyEntryLeavesAnEmptyRootOnDisk) {
    list.AppendEntry(SampleEntry("only.bin", {{"0", "9"}}));
    list.SaveList();
    list.DeleteEntry(0);
    EXPECT_EQ(list.EntryCount(), 0);
    EXPECT_EQ(ReadWholeFile(list.ListPath()),
              "<?xml version=\"1.0\" encoding=\"Windows-1251\"?>\n<MAIN/>\n");
}

TEST_F(ListEntries, DeleteOfAMissingRowFailsAndKeepsTheList) {
    list.AppendEntry(SampleEntry("a.bin"));
    EXPECT_EQ(ErrorOf([&] { list.DeleteEntry(1); }), "The download list has no entry N2.");
    EXPECT_EQ(list.EntryCount(), 1);
}

} // namespace
