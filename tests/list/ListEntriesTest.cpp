// The entry operations: append, update, advance, delete and what they write.
#include "ListTestHelpers.h"
#include "support/TempDir.h"

namespace {

using Pairs = std::vector<std::pair<std::string, std::string>>;

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
    const XmlElement entry = list.AppendEntry(SampleEntry("a.bin", {{"0", "99"}, {"500", "599"}}));
    EXPECT_STREQ(reinterpret_cast<const char*>(entry->name), "N1");
    EXPECT_EQ(AttributeNames(entry), kAlwaysPresent);
    EXPECT_EQ(ListDocument::AttributeText(entry, "Referer"), "");
    for (const char* absent : {"AuthName", "AuthPass", "Proxy", "ProxyName", "ProxyPass"})
        EXPECT_EQ(ErrorOf([&] { ListDocument::AttributeText(entry, absent); }),
                  kNullConversionMessage)
            << absent;

    EXPECT_EQ(ChildNames(entry), std::vector<std::string>{"Segments"});
    const XmlElement segments = ListDocument::ChildElement(entry, "Segments");
    EXPECT_EQ(ChildNames(segments), (std::vector<std::string>{"Begin", "End"}));
    EXPECT_EQ(Attributes(ListDocument::ChildElement(segments, "Begin")),
              (Pairs{{"S1", "0"}, {"S2", "500"}}));
    EXPECT_EQ(Attributes(ListDocument::ChildElement(segments, "End")),
              (Pairs{{"S1", "99"}, {"S2", "599"}}));
}

TEST_F(ListEntries, AppendWritesEmptyGroupsAfterTheFixedAttributes) {
    EntryValues values = SampleEntry("b.bin");
    values.auth = EntryValues::Auth{"", ""};
    values.proxy = EntryValues::Proxy{"", "", ""};
    list.AppendEntry(SampleEntry("a.bin"));
    const XmlElement entry = list.AppendEntry(values);
    EXPECT_STREQ(reinterpret_cast<const char*>(entry->name), "N2");
    std::vector<std::string> expected = kAlwaysPresent;
    expected.insert(expected.end(), {"AuthName", "AuthPass", "Proxy", "ProxyName", "ProxyPass"});
    EXPECT_EQ(AttributeNames(entry), expected);
    for (const char* empty : {"AuthName", "AuthPass", "Proxy", "ProxyName", "ProxyPass"})
        EXPECT_EQ(ListDocument::AttributeText(entry, empty), "") << empty;

    // Nothing is written until the caller saves; then the order survives a reload.
    EXPECT_EQ(Reloaded()->EntryCount(), 0);
    list.SaveList();
    const auto reloaded = Reloaded();
    EXPECT_EQ(AttributeNames(reloaded->FindEntry(1)), expected);
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

TEST_F(ListEntries, UpdateCountersReplacesInPlaceAndSaves) {
    EntryValues values = SampleEntry("a.bin", {{"0", "9"}});
    values.proxy = EntryValues::Proxy{"127.0.0.1:3128", "p", "q"};
    const XmlElement entry = list.AppendEntry(values);
    const auto namesBefore = AttributeNames(entry);

    list.UpdateCounters(entry, "1000", "100%", "0", "0");

    EXPECT_EQ(AttributeNames(entry), namesBefore);
    const auto reloaded = Reloaded();
    const XmlElement saved = reloaded->FindEntry(0);
    ASSERT_NE(saved, nullptr);
    EXPECT_EQ(AttributeNames(saved), namesBefore);
    EXPECT_EQ(ListDocument::AttributeText(saved, "Downloaded"), "1000");
    EXPECT_EQ(ListDocument::AttributeText(saved, "Percent"), "100%");
    EXPECT_EQ(ListDocument::AttributeText(saved, "Remains"), "0");
    EXPECT_EQ(ListDocument::AttributeText(saved, "Segments"), "0");
    EXPECT_EQ(ListDocument::AttributeText(saved, "FileSize"), "1000");
}

TEST_F(ListEntries, AdvanceQueueShiftsDownAndDropsTheLastAttribute) {
    const XmlElement entry =
        list.AppendEntry(SampleEntry("a.bin", {{"0", "99"}, {"600", "699"}, {"900", "999"}}));
    const XmlElement begin =
        ListDocument::ChildElement(ListDocument::ChildElement(entry, "Segments"), "Begin");

    list.AdvanceQueue(begin);
    EXPECT_EQ(Attributes(begin), (Pairs{{"S1", "600"}, {"S2", "900"}}));
    const auto reloaded = Reloaded();
    const XmlElement savedBegin = ListDocument::ChildElement(
        ListDocument::ChildElement(reloaded->FindEntry(0), "Segments"), "Begin");
    EXPECT_EQ(Attributes(savedBegin), (Pairs{{"S1", "600"}, {"S2", "900"}}));

    list.AdvanceQueue(begin);
    EXPECT_EQ(Attributes(begin), (Pairs{{"S1", "900"}}));
    list.AdvanceQueue(begin);
    EXPECT_EQ(begin->properties, nullptr);
    const auto reloadedAgain = Reloaded();
    EXPECT_EQ(ListDocument::ChildElement(
                  ListDocument::ChildElement(reloadedAgain->FindEntry(0), "Segments"), "Begin")
                  ->properties,
              nullptr);
    const XmlElement savedEnd = ListDocument::ChildElement(
        ListDocument::ChildElement(reloadedAgain->FindEntry(0), "Segments"), "End");
    EXPECT_EQ(Attributes(savedEnd), (Pairs{{"S1", "99"}, {"S2", "699"}, {"S3", "999"}}));
}

TEST_F(ListEntries, AdvanceQueueWithAGapChangesNothing) {
    const XmlElement entry = list.AppendEntry(SampleEntry("a.bin", {{"0", "9"}, {"20", "29"}}));
    const XmlElement begin =
        ListDocument::ChildElement(ListDocument::ChildElement(entry, "Segments"), "Begin");
    xmlUnsetProp(begin, reinterpret_cast<const xmlChar*>("S2"));
    xmlSetProp(begin, reinterpret_cast<const xmlChar*>("S7"),
               reinterpret_cast<const xmlChar*>("70"));
    EXPECT_EQ(ErrorOf([&] { list.AdvanceQueue(begin); }), kNullConversionMessage);
    EXPECT_EQ(Attributes(begin), (Pairs{{"S1", "0"}, {"S7", "70"}}));
}

TEST_F(ListEntries, DeleteMiddleRowRenumbersAndKeepsEverythingOfTheRest) {
    list.AppendEntry(SampleEntry("first.bin", {{"0", "9"}}));
    list.AppendEntry(SampleEntry("second.bin"));
    EntryValues third = SampleEntry("third.bin", {{"10", "19"}, {"30", "39"}});
    third.auth = EntryValues::Auth{"name", "pass"};
    third.proxy = EntryValues::Proxy{"127.0.0.1:8080", "pn", "pp"};
    const XmlElement before = list.AppendEntry(third);
    const Pairs thirdAttributes = Attributes(before);

    list.DeleteEntry(1);

    // In memory and as the saved file loads again.
    const auto check = [&](const ListDocument& doc) {
        ASSERT_EQ(doc.EntryCount(), 2);
        EXPECT_EQ(ChildNames(doc.FindEntry(0)->parent), (std::vector<std::string>{"N1", "N2"}));
        EXPECT_EQ(ListDocument::AttributeText(doc.FindEntry(0), "FileName"), "first.bin");
        const XmlElement moved = doc.FindEntry(1);
        EXPECT_EQ(Attributes(moved), thirdAttributes);
        const XmlElement segments = ListDocument::ChildElement(moved, "Segments");
        EXPECT_EQ(ChildNames(segments), (std::vector<std::string>{"Begin", "End"}));
        EXPECT_EQ(Attributes(ListDocument::ChildElement(segments, "Begin")),
                  (Pairs{{"S1", "10"}, {"S2", "30"}}));
        EXPECT_EQ(Attributes(ListDocument::ChildElement(segments, "End")),
                  (Pairs{{"S1", "19"}, {"S2", "39"}}));
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

TEST_F(ListEntries, RenameElementKeepsPositionAttributesAndChildren) {
    const XmlElement first = list.AppendEntry(SampleEntry("a.bin", {{"1", "2"}}));
    list.AppendEntry(SampleEntry("b.bin"));
    const XmlElement root = first->parent;
    const Pairs attributes = Attributes(first);
    const XmlElement segments = first->children;

    const XmlElement renamed = list.RenameElement(root, first, "X9");

    EXPECT_EQ(ChildNames(root), (std::vector<std::string>{"X9", "N2"}));
    EXPECT_EQ(root->children, renamed);
    EXPECT_EQ(Attributes(renamed), attributes);
    EXPECT_EQ(renamed->children, segments);
    EXPECT_EQ(segments->parent, renamed);
    EXPECT_EQ(list.FindEntry(0), nullptr);
}

} // namespace
