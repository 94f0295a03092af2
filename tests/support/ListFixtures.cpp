#include "ListFixtures.h"

std::string ListXml(const std::vector<TestEntry>& entries) {
    std::string xml = "<?xml version=\"1.0\" encoding=\"Windows-1251\"?>\n<MAIN>";
    for (size_t k = 0; k < entries.size(); ++k) {
        const TestEntry& e = entries[k];
        const std::string name = "N" + std::to_string(k + 1);
        xml += "<" + name + " FileName=\"" + e.fileName + "\" FileSize=\"" + e.fileSize +
               "\" Downloaded=\"" + e.downloaded + "\" Percent=\"" + e.percent + "\" Remains=\"" +
               e.remains + "\" Segments=\"" + std::to_string(e.ranges.size()) + "\" URL=\"" +
               e.url + "\" Referer=\"\" AuthName=\"" + e.authName + "\" AuthPass=\"" + e.authPass +
               "\" Proxy=\"" + e.proxy + "\" ProxyName=\"\" ProxyPass=\"\"" +
               (e.checksum.empty() ? "" : " Checksum=\"" + e.checksum + "\"") + "><Segments><Begin";
        for (size_t i = 0; i < e.ranges.size(); ++i)
            xml += " S" + std::to_string(i + 1) + "=\"" + std::to_string(e.ranges[i].first) + "\"";
        xml += "/><End";
        for (size_t i = 0; i < e.ranges.size(); ++i)
            xml += " S" + std::to_string(i + 1) + "=\"" + std::to_string(e.ranges[i].second) + "\"";
        xml += "/></Segments></" + name + ">";
    }
    xml += "</MAIN>\n";
    return xml;
}

TestEntry SimpleEntry(int number, int segments) {
    TestEntry e;
    e.fileName = "/tmp/file" + std::to_string(number) + ".bin";
    e.fileSize = std::to_string(1000 * number);
    e.downloaded = std::to_string(1000 * number - 10 * segments);
    e.remains = std::to_string(10 * segments);
    e.percent = "99%";
    e.url = "http://127.0.0.1:1/file" + std::to_string(number) + ".bin";
    for (int i = 0; i < segments; ++i)
        e.ranges.push_back({100 * i, 100 * i + 10});
    return e;
}
