#include <gtest/gtest.h>

#include "korvalite/genicam/url.hpp"

using namespace korvalite::genicam;
using namespace std::string_literals;

namespace {

using Local = XmlUrl::Local;
using File = XmlUrl::File;
using Http = XmlUrl::Http;

std::expected<XmlUrl, std::string> at(XmlUrl::Local l) { return XmlUrl{std::move(l)}; }
std::expected<XmlUrl, std::string> at(XmlUrl::File f) { return XmlUrl{std::move(f)}; }
std::expected<XmlUrl, std::string> at(XmlUrl::Http h) { return XmlUrl{std::move(h)}; }
std::expected<XmlUrl, std::string> fails(std::string message) { return std::unexpected(std::move(message)); }

}  // namespace

TEST(XmlUrl, ParsesLocationsAndReportsEachFault) {
    const std::pair<std::string, std::expected<XmlUrl, std::string>> cases[] = {
        {"Local:cam.zip;10000;2A00", at(Local{"cam.zip", 0x10000, 0x2A00})},
        {"local:CAM.ZIP;10000;2A00", at(Local{"CAM.ZIP", 0x10000, 0x2A00})},
        {"LOCAL: cam.xml ; +ffffffffffffffff ;\t2a00 ", at(Local{"cam.xml", UINT64_MAX, 0x2A00})},
        {"Local:cam.xml;10000;2A00;extra", at(Local{"cam.xml", 0x10000, 0x2A00})},
        {"Local:;0;0", at(Local{"", 0, 0})},
        {"  \0\0Local:cam.xml;10000;2A00\0 \0  "s, at(Local{"cam.xml", 0x10000, 0x2A00})},
        {"Local:cam.xml;0x10000;2A00", fails("bad address: invalid digit found in string")},
        {"Local:cam.xml;10000", fails("missing size")},
        {"Local:cam.xml", fails("missing address")},
        {"local:", fails("missing address")},
        {"Local:cam.xml;10000;", fails("bad size: cannot parse integer from empty string")},
        {"Local:cam.xml;+;1", fails("bad address: invalid digit found in string")},
        {"Local:cam.xml;10000000000000000;1", fails("bad address: number too large to fit in target type")},
        {"Local:cam.xml;1;-1", fails("bad size: invalid digit found in string")},
        {"file:///opt/cam.xml", at(File{"/opt/cam.xml"})},
        {"file:cam.xml", at(File{"cam.xml"})},
        {"FILE:////x/Cam.ZIP", at(File{"x/Cam.ZIP"})},
        {"file:", at(File{""})},
        {"http://host/cam.zip", at(Http{"http://host/cam.zip"})},
        {" HTTPS://Host/x.xml ", at(Http{"HTTPS://Host/x.xml"})},
        {"ftp://host/x.xml", fails("unrecognized GenICam URL 'ftp://host/x.xml'")},
        {"  Local", fails("unrecognized GenICam URL 'Local'")},
        {"", fails("unrecognized GenICam URL ''")},
    };
    for (const auto& [text, expected] : cases) EXPECT_EQ(XmlUrl::parse(text), expected) << text;
}

TEST(XmlUrl, ZipDetectionFoldsCase) {
    const std::pair<XmlUrl, bool> cases[] = {
        {{Local{"cam.zip", 0, 0}}, true}, {{Local{"CAM.ZIP", 0, 0}}, true}, {{Local{".zip", 0, 0}}, true},
        {{Local{"zip", 0, 0}}, false},    {{Local{"cam.zip.xml", 0, 0}}, false}, {{Local{"", 0, 0}}, false},
        {{File{"/opt/Cam.Zip"}}, true},   {{File{"/opt/cam.xml"}}, false},
        {{Http{"http://h/c.ZIP"}}, true}, {{Http{"http://h/zip"}}, false},
    };
    for (const auto& [url, zipped] : cases) EXPECT_EQ(url.is_zip(), zipped);
    EXPECT_TRUE(XmlUrl::parse("local:CAM.ZIP;10000;2A00")->is_zip());
}
