#include "ktu/taxonomy/taxonomy.hpp"

#include <gtest/gtest.h>

#include <boost/json.hpp>

#include "ktu/log/log.hpp"
#include "tests/support/fixtures.hpp"

namespace ktu::taxonomy {
namespace {

using kelto::test::TempDir;

class LogCapture {
 public:
  struct Sink : log::LogSink {
    std::vector<std::pair<log::Level, std::string>> events;
    void log(log::EventData& data) override {
      events.emplace_back(data.event.get_level(), data.event.get_component() + ": " + data.event.get_description());
    }
  };
  LogCapture() { log::get_global_configuration().add_sink(sink, log::Level::DEBUG); }
  ~LogCapture() { log::get_global_configuration().remove_sink(sink); }
  std::vector<std::string> warnings() const {
    std::vector<std::string> out;
    for (const auto& [level, text] : sink->events) {
      if (level == log::Level::WARNING) out.push_back(text);
    }
    return out;
  }

 private:
  std::shared_ptr<Sink> sink = std::make_shared<Sink>();
};

// The members in their order, as a compact JSON text.
std::string fill(const TaxonomyData& data, unsigned severity, unsigned type, boost::json::object object = {}) {
  data.fill(object, severity, type);
  return boost::json::serialize(object);
}

TEST(Taxonomy, RowsBadLinesAndRepeatedKeys) {
  TempDir dir;
  const std::string path = dir.write("taxonomy.data",
                                     "3|high|High risk|severity three\n"
                                     "3.7|trojan|Trojan horse|type seven\n"
                                     "a|b|c\n"          // three fields
                                     "a|b|c|d|e\n"      // five fields
                                     "\n"               // empty line
                                     "4|old|Old|first\n"
                                     "4|new|New|\n"     // later row wins, empty description kept
                                     "5||||\n"          // five fields, all empty
                                     "|||\n"            // four empty fields: a row with the empty key
                                     "6|crlf|CRLF|d\r\n"
                                     "9|last|Last|no line feed");
  LogCapture log;
  TaxonomyData data;
  data.load(path);

  EXPECT_EQ(log.warnings(), (std::vector<std::string>{
                                "taxonomy: " + path + ": Corrupted line: a|b|c",
                                "taxonomy: " + path + ": Corrupted line: a|b|c|d|e",
                                "taxonomy: " + path + ": Corrupted line: ",
                                "taxonomy: " + path + ": Corrupted line: 5||||",
                            }));
  EXPECT_EQ(data.items.size(), 6u);
  EXPECT_EQ(data.items.at("").name, "");
  EXPECT_EQ(data.items.at("6").description, "d\r");
  EXPECT_EQ(data.items.at("9").description, "no line feed");

  EXPECT_EQ(fill(data, 3, 7),
            R"({"type":"trojan","type_full":"Trojan horse","desc":"type seven","severity":"high","severity_full":"High risk"})");
  EXPECT_EQ(fill(data, 3, 8), R"({"severity":"high","severity_full":"High risk","desc":"severity three"})");
  EXPECT_EQ(fill(data, 4, 0), R"({"severity":"new","severity_full":"New","desc":""})");
  EXPECT_EQ(fill(data, 8, 7), "{}");
  // Members already there keep their place and take the new value; the rest are appended.
  EXPECT_EQ(fill(data, 3, 7, {{"name", "EICAR"}, {"desc", "x"}, {"severity", 1}}),
            R"({"name":"EICAR","desc":"type seven","severity":"high","type":"trojan","type_full":"Trojan horse","severity_full":"High risk"})");
}

TEST(Taxonomy, TypeRowAloneAndNoPrefixMatching) {
  TempDir dir;
  TaxonomyData data;
  data.load(dir.write("t", "3.7|trojan|Trojan|type seven\n03|padded|P|leading zero\n"));
  EXPECT_EQ(fill(data, 3, 7), R"({"type":"trojan","type_full":"Trojan","desc":"type seven"})");
  EXPECT_EQ(fill(data, 3, 70), "{}");
  EXPECT_EQ(fill(data, 33, 7), "{}");
}

TEST(Taxonomy, TextsNotInUtf8KeepTheirBytesInTheTableAndBecomeValidJson) {
  TempDir dir;
  TaxonomyData data;
  data.load(dir.write("t", "5|caf\xe9|\xc3\xa9t\xc3|\xed\xa0\x80\n5.1|w\xfcrm|W\xfcrm|d\xe9s\n"));
  EXPECT_EQ(data.items.at("5").name, "caf\xe9");
  EXPECT_EQ(fill(data, 5, 0),
            "{\"severity\":\"caf\xef\xbf\xbd\",\"severity_full\":\"\xc3\xa9t\xef\xbf\xbd\","
            "\"desc\":\"\xef\xbf\xbd\xef\xbf\xbd\xef\xbf\xbd\"}");
  EXPECT_EQ(fill(data, 5, 1),
            "{\"type\":\"w\xef\xbf\xbdrm\",\"type_full\":\"W\xef\xbf\xbdrm\",\"desc\":\"d\xef\xbf\xbds\","
            "\"severity\":\"caf\xef\xbf\xbd\",\"severity_full\":\"\xc3\xa9t\xef\xbf\xbd\"}");
}

TEST(Taxonomy, UnreadableFileLeavesAnEmptyTable) {
  TempDir dir;
  LogCapture log;
  TaxonomyData missing;
  missing.load(dir.file("absent.data"));
  EXPECT_TRUE(missing.items.empty());
  EXPECT_EQ(fill(missing, 3, 7), "{}");

  // A directory opens but cannot be read: reported, not taken for an empty file.
  TaxonomyData directory;
  directory.load(dir.path());
  EXPECT_TRUE(directory.items.empty());

  EXPECT_EQ(log.warnings(), (std::vector<std::string>{
                                "taxonomy: " + dir.file("absent.data") + ": Failed to read file",
                                "taxonomy: " + dir.path() + ": Failed to read file",
                            }));
}

}  // namespace
}  // namespace ktu::taxonomy
