// Workbook parts and zip writing for the tests.
#include "workbook_builder.h"

#include <zip.h>

#include <fstream>
#include <sstream>
#include <stdexcept>

namespace velquor::sheet::testing {

namespace {
const std::string kMain = "http://schemas.openxmlformats.org/spreadsheetml/2006/main";
const std::string kRel = "http://schemas.openxmlformats.org/officeDocument/2006/relationships";
const std::string kPackageRel = "http://schemas.openxmlformats.org/package/2006/relationships";
}  // namespace

Parts minimalWorkbook(const std::string& sheetData, const std::string& sharedStrings,
                      const std::string& styles) {
    Parts parts;
    parts["_rels/.rels"] = "<Relationships xmlns=\"" + kPackageRel +
                           "\"><Relationship Id=\"rId1\" Type=\"" + kRel +
                           "/officeDocument\" Target=\"xl/workbook.xml\"/></Relationships>";
    parts["xl/workbook.xml"] = "<workbook xmlns=\"" + kMain + "\" xmlns:r=\"" + kRel +
                               "\"><sheets><sheet name=\"S\" sheetId=\"1\" r:id=\"rId1\"/>"
                               "</sheets></workbook>";
    std::string rels = "<Relationships xmlns=\"" + kPackageRel +
                       "\"><Relationship Id=\"rId1\" Type=\"" + kRel +
                       "/worksheet\" Target=\"worksheets/sheet1.xml\"/>";
    if (!sharedStrings.empty()) {
        rels += "<Relationship Id=\"rId2\" Type=\"" + kRel +
                "/sharedStrings\" Target=\"sharedStrings.xml\"/>";
        parts["xl/sharedStrings.xml"] = "<sst xmlns=\"" + kMain + "\">" + sharedStrings + "</sst>";
    }
    if (!styles.empty()) {
        rels += "<Relationship Id=\"rId3\" Type=\"" + kRel + "/styles\" Target=\"styles.xml\"/>";
        parts["xl/styles.xml"] = "<styleSheet xmlns=\"" + kMain + "\">" + styles + "</styleSheet>";
    }
    parts["xl/_rels/workbook.xml.rels"] = rels + "</Relationships>";
    parts["xl/worksheets/sheet1.xml"] =
        "<worksheet xmlns=\"" + kMain + "\"><sheetData>" + sheetData + "</sheetData></worksheet>";
    return parts;
}

Parts sparseWorkbook(const std::string& first, const std::string& last) {
    return minimalWorkbook("<row r=\"1\"><c r=\"A1\" t=\"inlineStr\"><is><t>" + first +
                           "</t></is></c></row><row r=\"1048576\"><c r=\"XFD1048576\" "
                           "t=\"inlineStr\"><is><t>" +
                           last + "</t></is></c></row>");
}

Parts largeWorkbook(int rows, int columns, const std::string& formatCode) {
    std::string sheetData = "<row r=\"1\">";
    for (int column = 1; column <= columns; ++column) {
        sheetData += "<c t=\"inlineStr\"><is><t>h" + std::to_string(column) + "</t></is></c>";
    }
    sheetData += "</row>";
    const std::string style = formatCode.empty() ? "" : " s=\"1\"";
    for (int row = 2; row <= rows; ++row) {
        sheetData += "<row r=\"" + std::to_string(row) + "\">";
        for (int column = 1; column <= columns; ++column) {
            sheetData += "<c" + style + "><v>" + std::to_string(row * 7 + column) + ".25</v></c>";
        }
        sheetData += "</row>";
    }
    std::string styles;
    if (!formatCode.empty()) {
        styles = "<numFmts><numFmt numFmtId=\"170\" formatCode=\"" + formatCode +
                 "\"/></numFmts><cellXfs><xf numFmtId=\"0\"/><xf numFmtId=\"170\"/></cellXfs>";
    }
    return minimalWorkbook(sheetData, "", styles);
}

void writeZip(const std::filesystem::path& path, const Parts& parts) {
    int error = 0;
    std::filesystem::remove(path);
    zip_t* archive = zip_open(path.c_str(), ZIP_CREATE | ZIP_EXCL, &error);
    if (archive == nullptr) throw std::runtime_error("cannot create " + path.string());
    for (const auto& [name, content] : parts) {
        zip_source_t* source = zip_source_buffer(archive, content.data(), content.size(), 0);
        if (source == nullptr ||
            zip_file_add(archive, name.c_str(), source, ZIP_FL_ENC_UTF_8) < 0) {
            zip_source_free(source);
            zip_discard(archive);
            throw std::runtime_error("cannot add " + name);
        }
    }
    if (zip_close(archive) != 0) {
        zip_discard(archive);
        throw std::runtime_error("cannot write " + path.string());
    }
}

void patchFile(const std::filesystem::path& path, const std::string& from, const std::string& to) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream buffer;
    buffer << in.rdbuf();
    std::string bytes = buffer.str();
    in.close();
    for (std::size_t at = bytes.find(from); at != std::string::npos;
         at = bytes.find(from, at + 1)) {
        bytes.replace(at, from.size(), to);
    }
    std::ofstream(path, std::ios::binary | std::ios::trunc) << bytes;
}

void forgeDeclaredSize(const std::filesystem::path& path, const std::string& member,
                       std::uint32_t size) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream buffer;
    buffer << in.rdbuf();
    std::string bytes = buffer.str();
    in.close();
    auto put32 = [&](std::size_t at) {
        for (int i = 0; i < 4; ++i) bytes[at + i] = static_cast<char>((size >> (8 * i)) & 0xFF);
    };
    struct Header {
        std::string signature;
        std::size_t nameAt;
        std::size_t sizeAt;
    };
    for (const Header& header :
         {Header{std::string("PK\x03\x04"), 30, 22}, Header{std::string("PK\x01\x02"), 46, 24}}) {
        for (std::size_t at = bytes.find(header.signature); at != std::string::npos;
             at = bytes.find(header.signature, at + 1)) {
            if (bytes.compare(at + header.nameAt, member.size(), member) == 0)
                put32(at + header.sizeAt);
        }
    }
    std::ofstream(path, std::ios::binary | std::ios::trunc) << bytes;
}

}  // namespace velquor::sheet::testing
