// The XML configuration template over libxml2's tree API; see config_template.h.
#include "generator/template/config_template.h"

#include <libxml/parser.h>
#include <libxml/tree.h>
#include <libxml/xmlsave.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <optional>
#include <string_view>

#include "generator/fields/template_fields.h"
#include "generator/template/compiled_output.h"
#include "generator/template/template_document.h"
#include "generator/template/value_fit.h"
#include "generator/template/xml_prolog.h"
#include "support/file_identity.h"
#include "xmlsafe/xml_safety.h"

namespace velquor::generator {

using support::ErrorCode;
using support::makeError;
using support::Phrase;

namespace {

// ---- editing ---------------------------------------------------------------------------

bool hasName(const xmlNode* node, const char* name) {
    // A prefixed name ("x:Ext1") is another name; a default namespace does not add a prefix.
    const bool prefixed = node->ns != nullptr && node->ns->prefix != nullptr;
    return !prefixed && std::strcmp(reinterpret_cast<const char*>(node->name), name) == 0;
}

struct TextEdit {
    xmlNodePtr element;
    int entry;
    const char* elementName;
};

struct AttributeEdit {
    xmlNodePtr element;
    int entry;
    std::string attribute;
};

// A text node or attribute value holding placeholders, with its text as the template has it.
struct PlaceholderText {
    xmlNodePtr node;        // the text node, or the element that has the attribute
    xmlNsPtr ns;            // the attribute's namespace
    std::string attribute;  // empty for a text node
    std::string original;
    xmlNodePtr element = nullptr;  // the element the text or attribute belongs to
    std::vector<PlaceholderUse> uses{};
    std::vector<ValueSlot> slots{};  // one per use
    // The text node is its element's only content and the placeholder all of it: the element
    // is emptied for an empty value, as the fixed elements are.
    bool wholeElement = false;
};

void replaceText(xmlNodePtr element, const std::string& value) {
    // A text node holds the value as it is; the serialiser escapes & < > when saving.
    xmlNodeSetContent(element, nullptr);
    if (!value.empty()) {
        xmlAddChild(element, xmlNewDocTextLen(element->doc, BAD_CAST value.data(),
                                              static_cast<int>(value.size())));
    }
}

}  // namespace

std::vector<xmlNode*> ElementChildren(xmlNode* node) {
    std::vector<xmlNode*> children;
    for (xmlNode* child = node != nullptr ? node->children : nullptr;
         child != nullptr && child->type == XML_ELEMENT_NODE; child = child->next) {
        children.push_back(child);
    }
    return children;
}

namespace {

struct EditPlan {
    std::vector<xmlNodePtr> ext1Elements;
    std::vector<TextEdit> edits;
    std::vector<AttributeEdit> attributes;
    std::vector<PlaceholderText> placeholders;
    int highestEntry = -1;
    TemplateUse use;
};

EditPlan planSeedEdits(xmlDocPtr doc, const SheetFields& fields);

// The elements on a path below the document element, every repeat, matched as the fixed
// elements are.
std::vector<xmlNodePtr> elementsOnPath(xmlDocPtr doc, const ElementPath& path) {
    std::vector<xmlNodePtr> current{xmlDocGetRootElement(doc)};
    for (const std::string& name : path.names) {
        std::vector<xmlNodePtr> next;
        for (xmlNodePtr node : current) {
            for (xmlNodePtr child : ElementChildren(node)) {
                if (hasName(child, name.c_str())) next.push_back(child);
            }
        }
        current = std::move(next);
    }
    return current;
}

bool insideEdited(xmlNodePtr node, const std::vector<TextEdit>& edits) {
    for (; node != nullptr; node = node->parent) {
        for (const TextEdit& edit : edits) {
            if (edit.element == node) return true;
        }
    }
    return false;
}

// A column's header, for messages.
std::string headerOf(const SheetFields& fields, int entry) {
    if (entry == fields.macEntry()) return std::string("{{") + std::string(kMacPlaceholder) + "}}";
    for (const FieldColumn& field : fields.columns()) {
        if (field.entry == entry) return field.header;
    }
    return {};
}

std::string contentOf(xmlNodePtr node) {
    xmlChar* content = xmlNodeGetContent(node);
    std::string text = content != nullptr ? reinterpret_cast<const char*>(content) : "";
    xmlFree(content);
    return text;
}

void notePlaceholders(EditPlan& plan, const SheetFields& fields, PlaceholderText text) {
    text.uses = findPlaceholders(text.original);
    if (text.uses.empty()) return;
    text.element = text.attribute.empty() ? text.node->parent : text.node;
    const bool onlyChild = text.attribute.empty() && text.node->parent != nullptr &&
                           text.node->parent->children == text.node && text.node->next == nullptr;
    text.wholeElement = onlyChild && text.uses.size() == 1 &&
                        text.uses.front().length == text.original.size() &&
                        text.node->type == XML_TEXT_NODE;
    for (const PlaceholderUse& use : text.uses) {
        const std::optional<int> entry =
            use.name.empty() ? std::nullopt : fields.placeholderEntry(use.name);
        ValueSlot slot{entry.value_or(-1), "", SlotKind::Text, use.fallback};
        slot.inCdata = text.node->type == XML_CDATA_SECTION_NODE;
        if (!text.attribute.empty()) slot.kind = SlotKind::Attribute;
        if (text.wholeElement) {
            slot.kind = SlotKind::Element;
            slot.elementName = reinterpret_cast<const char*>(text.element->name);
        }
        text.slots.push_back(std::move(slot));
    }
    plan.placeholders.push_back(std::move(text));
}

void findAttributePlaceholders(EditPlan& plan, const SheetFields& fields, xmlNodePtr element) {
    for (xmlAttrPtr attribute = element->properties; attribute != nullptr;
         attribute = attribute->next) {
        notePlaceholders(
            plan, fields,
            PlaceholderText{element, attribute->ns, reinterpret_cast<const char*>(attribute->name),
                            contentOf(reinterpret_cast<xmlNodePtr>(attribute))});
    }
}

// Every text and attribute value below node that holds a placeholder, outside the elements
// whose whole text a column replaces.
void findPlaceholderTexts(EditPlan& plan, const SheetFields& fields, xmlNodePtr node) {
    for (xmlNodePtr child = node->children; child != nullptr; child = child->next) {
        if (child->type == XML_TEXT_NODE || child->type == XML_CDATA_SECTION_NODE) {
            notePlaceholders(plan, fields, PlaceholderText{child, nullptr, "", contentOf(child)});
        } else if (child->type == XML_ELEMENT_NODE) {
            findAttributePlaceholders(plan, fields, child);
            findPlaceholderTexts(plan, fields, child);
        }
    }
}

// The fixed edits, the sheet's element paths and the template's placeholders, found once on
// the template as read.
EditPlan planEdits(xmlDocPtr doc, const SheetFields& fields) {
    EditPlan plan = planSeedEdits(doc, fields);
    for (const FieldColumn& field : fields.columns()) {
        if (field.kind != FieldKind::Path) continue;
        const std::vector<xmlNodePtr> elements = elementsOnPath(doc, field.path);
        if (elements.empty()) plan.use.unmatchedPaths.push_back(field.entry);
        if (!elements.empty()) plan.use.usedEntries.insert(field.entry);
        for (xmlNodePtr element : elements) {
            if (field.path.attribute.empty()) {
                plan.edits.push_back(
                    TextEdit{element, field.entry, reinterpret_cast<const char*>(element->name)});
            } else {
                plan.attributes.push_back(
                    AttributeEdit{element, field.entry, field.path.attribute});
            }
        }
    }
    xmlNodePtr root = xmlDocGetRootElement(doc);
    findAttributePlaceholders(plan, fields, root);
    findPlaceholderTexts(plan, fields, root);
    // A text a column replaces whole loses its placeholders with it.
    std::erase_if(plan.placeholders, [&plan](const PlaceholderText& text) {
        return insideEdited(text.element, plan.edits);
    });
    for (const PlaceholderText& text : plan.placeholders) {
        for (std::size_t i = 0; i < text.uses.size(); ++i) {
            const ValueSlot& slot = text.slots[i];
            if (slot.entry >= 0) plan.use.usedEntries.insert(slot.entry);
            const std::string& written = text.uses[i].written;
            if (slot.entry < 0 && !slot.fallback &&
                std::find(plan.use.missingPlaceholders.begin(), plan.use.missingPlaceholders.end(),
                          written) == plan.use.missingPlaceholders.end()) {
                plan.use.missingPlaceholders.push_back(written);
            }
        }
    }
    return plan;
}

// The elements the template lets a device row edit, found once: the walk only reads the top
// three levels, which editing text below them never changes.
EditPlan planSeedEdits(xmlDocPtr doc, const SheetFields& fields) {
    EditPlan plan;
    for (xmlNodePtr ext1 : ElementChildren(xmlDocGetRootElement(doc))) {
        if (!hasName(ext1, "Ext1")) continue;
        plan.ext1Elements.push_back(ext1);
        for (xmlNodePtr section : ElementChildren(ext1)) {
            for (xmlNodePtr leaf : ElementChildren(section)) {
                for (const SeedElement& rule : seedElements()) {
                    if (hasName(section, rule.section) && hasName(leaf, rule.name) &&
                        fields.isSeedColumn(rule.entry)) {
                        plan.edits.push_back(TextEdit{leaf, rule.entry, rule.name});
                        plan.use.usedEntries.insert(rule.entry);
                        plan.highestEntry = std::max(plan.highestEntry, rule.entry);
                    }
                }
            }
        }
    }
    return plan;
}

bool setEnable(const EditPlan& plan) {
    for (xmlNodePtr ext1 : plan.ext1Elements) {
        if (xmlSetProp(ext1, BAD_CAST "Enable", BAD_CAST "Enable") == nullptr) return false;
    }
    return true;
}

// Every value a row gives the plan, in one order: the element texts, the attributes, then
// each placeholder of each text.
std::vector<ValueSlot> slotsOf(const EditPlan& plan) {
    std::vector<ValueSlot> slots;
    for (const TextEdit& edit : plan.edits)
        slots.push_back(ValueSlot{edit.entry, edit.elementName});
    for (const AttributeEdit& edit : plan.attributes) {
        slots.push_back(ValueSlot{edit.entry, "", SlotKind::Attribute});
    }
    for (const PlaceholderText& text : plan.placeholders) {
        slots.insert(slots.end(), text.slots.begin(), text.slots.end());
    }
    return slots;
}

bool setAttribute(xmlNodePtr element, xmlNsPtr ns, const std::string& name,
                  const std::string& value) {
    return xmlSetNsProp(element, ns, BAD_CAST name.c_str(), BAD_CAST value.c_str()) != nullptr;
}

// Writes one value per slot (in the order of slotsOf) into the document, and sets Enable.
bool applyPlan(const EditPlan& plan, const std::vector<std::string>& values) {
    std::size_t next = 0;
    for (const TextEdit& edit : plan.edits) replaceText(edit.element, values[next++]);
    for (const AttributeEdit& edit : plan.attributes) {
        if (!setAttribute(edit.element, nullptr, edit.attribute, values[next++])) return false;
    }
    for (const PlaceholderText& text : plan.placeholders) {
        std::string filled;
        std::size_t from = 0;
        for (const PlaceholderUse& use : text.uses) {
            filled.append(text.original, from, use.at - from);
            filled += values[next++];
            from = use.at + use.length;
        }
        filled.append(text.original, from);
        if (text.wholeElement) {
            // The text node goes with it: the element is what is kept.
            replaceText(text.element, filled);
        } else if (!text.attribute.empty()) {
            if (!setAttribute(text.node, text.ns, text.attribute, filled)) return false;
        } else {
            xmlNodeSetContentLen(text.node, BAD_CAST filled.data(),
                                 static_cast<int>(filled.size()));
        }
    }
    return setEnable(plan);
}

// Serialises a copy of the document with a marker in every edited element and cuts the
// result there; nullopt when the template's encoding or content does not allow it.
std::optional<CompiledOutput> compileOutput(xmlDocPtr doc, const SaveFormat& format,
                                            const std::string& displayName,
                                            const SheetFields& fields) {
    CompiledOutput::Charset charset = CompiledOutput::Charset::Utf8;
    if (format.prolog.utf16) return std::nullopt;
    if (!format.encoding.empty() && !sameEncodingName(format.encoding, "UTF-8")) {
        if (!isAsciiCompatible(format.encoding)) return std::nullopt;
        charset = CompiledOutput::Charset::AsciiCompatible;
    }
    xmlDocPtr copy = xmlCopyDoc(doc, 1);
    if (copy == nullptr) return std::nullopt;
    const EditPlan plan = planEdits(copy, fields);
    std::vector<ValueSlot> slots = slotsOf(plan);
    std::vector<std::string> markers;
    for (std::size_t i = 0; i < slots.size(); ++i) markers.push_back(CompiledOutput::marker(i));
    // A CDATA section is written as it is, with no escaping to splice values by.
    const bool cdata = std::any_of(
        plan.placeholders.begin(), plan.placeholders.end(),
        [](const PlaceholderText& text) { return text.node->type == XML_CDATA_SECTION_NODE; });
    auto text = !cdata && applyPlan(plan, markers)
                    ? serializeWithFormat(copy, format, displayName)
                    : support::Result<std::string>(makeError(ErrorCode::Internal, ""));
    xmlFreeDoc(copy);
    if (!text) return std::nullopt;
    return CompiledOutput::cut(*text, std::move(slots), charset);
}

}  // namespace

struct ConfigTemplate::Impl {
    xmlDocPtr doc = nullptr;
    std::string displayName;
    SaveFormat format;
    SheetFields fields;
    EditPlan plan;
    std::vector<ValueSlot> slots;  // slotsOf(plan)
    std::optional<CompiledOutput> compiled;
    // The row last applied (its cells, then the built-in values); empty before the first row.
    // The cells are the caller's (applyCells) or copies held here (ApplyDeviceRow).
    std::vector<std::string_view> values;
    std::vector<std::string> ownCells;
    std::string mac;
    std::string sheetRow;
    bool applied = false;
    // The tree holds the row last applied: it is edited only when a file is serialised from
    // it rather than spliced.
    bool treeCurrent = true;

    ~Impl() {
        if (doc != nullptr) xmlFreeDoc(doc);
    }
};

ConfigTemplate::ConfigTemplate(std::unique_ptr<Impl> impl) : m_impl(std::move(impl)) {}
ConfigTemplate::ConfigTemplate(ConfigTemplate&&) noexcept = default;
ConfigTemplate& ConfigTemplate::operator=(ConfigTemplate&&) noexcept = default;
ConfigTemplate::~ConfigTemplate() = default;

support::Result<ConfigTemplate> ConfigTemplate::LoadTemplate(const std::string& path) {
    if (path.empty()) {
        return makeError(ErrorCode::InvalidInput,
                         VELQUOR_TR_NOOP("core", "no template file chosen"));
    }
    auto bytes = support::readWholeFile(path, kMaxTemplateBytes);
    if (!bytes) {
        //: %1 why the template cannot be read
        return makeError(
            bytes.error().code,
            support::withCause(Phrase{VELQUOR_TR_NOOP("core", "cannot load the template: %1")},
                               bytes.error()));
    }
    return loadTemplateFromMemory(*bytes, path);
}

support::Result<ConfigTemplate> ConfigTemplate::loadTemplateFromMemory(
    std::string_view bytes, const std::string& displayName) {
    xmlsafe::initialise();
    //: %1 is the template, %2 what is wrong with it
    auto failure = [&](ErrorCode code, const support::Error& reason) {
        return makeError(
            code,
            support::withCause(
                Phrase{VELQUOR_TR_NOOP("core", "cannot load the template %1: %2"), {displayName}},
                reason));
    };
    if (bytes.size() > kMaxTemplateBytes) {
        return failure(
            ErrorCode::TooLarge,
            makeError(ErrorCode::TooLarge, Phrase{VELQUOR_TR_NOOP("core", "larger than %1 bytes"),
                                                  {std::to_string(kMaxTemplateBytes)}}));
    }
    if (bytes.empty()) {
        return failure(ErrorCode::InvalidInput,
                       makeError(ErrorCode::InvalidInput,
                                 Phrase{VELQUOR_TR_NOOP("core", "the file is empty")}));
    }

    const XmlProlog prolog = readXmlProlog(bytes);
    auto parsed = parseTemplateBytes(bytes, prolog);
    if (!parsed) return failure(parsed.error().code, parsed.error());
    auto impl = std::make_unique<Impl>();
    impl->doc = *parsed;
    impl->displayName = displayName;

    // The files repeat the template's declaration, so they name its encoding as it was
    // written and are written in it.
    impl->format.prolog = prolog;
    if (prolog.declaredEncoding) {
        impl->format.encoding = *prolog.declaredEncoding;
    } else if (prolog.utf16) {
        impl->format.encoding = "UTF-16";
    }
    impl->plan = planEdits(impl->doc, impl->fields);
    impl->slots = slotsOf(impl->plan);
    // A template that cannot be written back fails here, before any device file is begun.
    auto probe = serializeWithFormat(impl->doc, impl->format, displayName);
    if (!probe) return failure(ErrorCode::Unsupported, probe.error());
    if (!savesFaithfully(impl->doc, *probe, impl->format)) {
        //: %1 is the template's encoding
        return failure(ErrorCode::Unsupported,
                       makeError(ErrorCode::Unsupported,
                                 Phrase{VELQUOR_TR_NOOP("core",
                                                        "it holds characters that its encoding %1 "
                                                        "cannot write in a name, comment, CDATA "
                                                        "section or processing instruction; "
                                                        "declare an encoding that has them "
                                                        "(UTF-8, or GBK for GB2312)"),
                                        {impl->format.encoding}}));
    }
    impl->compiled = compileOutput(impl->doc, impl->format, displayName, impl->fields);
    return ConfigTemplate(std::move(impl));
}

support::Result<TemplateUse> ConfigTemplate::prepare(const SheetFields& fields) {
    Impl& impl = *m_impl;
    impl.fields = fields;
    impl.plan = planEdits(impl.doc, fields);
    impl.slots = slotsOf(impl.plan);
    impl.compiled = compileOutput(impl.doc, impl.format, impl.displayName, fields);
    return impl.plan.use;
}

support::Status ConfigTemplate::ApplyDeviceRow(const DeviceRow& row) {
    // Kept only once taken: a row refused leaves the last row's values as they were. Moving
    // the vector keeps its strings where they are, and so the views into them.
    std::vector<std::string> own = row.cells;
    const std::vector<std::string_view> cells(own.begin(), own.end());
    auto applied = applyCells(row.sheetRow, cells, cells.size(), row.mac);
    if (applied) m_impl->ownCells = std::move(own);
    return applied;
}

support::Status ConfigTemplate::applyCells(int sheetRow, std::span<const std::string_view> cells,
                                           std::size_t width, std::string_view mac) {
    Impl& impl = *m_impl;
    const int available = static_cast<int>(std::max(cells.size(), width));
    for (const TextEdit& edit : impl.plan.edits) {
        if (edit.entry >= available) {
            //: %1 is a row, %2 a column (C), %3 an element of the template
            return makeError(
                ErrorCode::InvalidInput,
                Phrase{VELQUOR_TR_NOOP("core",
                                       "row %1 has no column %2, which the "
                                       "template's %3 element takes its "
                                       "value from"),
                       {std::to_string(sheetRow), columnLetters(edit.entry), edit.elementName}});
        }
    }
    impl.mac = mac;
    impl.sheetRow = std::to_string(sheetRow);
    impl.values.assign(cells.begin(), cells.end());
    impl.values.resize(
        std::max({impl.values.size(), width, static_cast<std::size_t>(impl.fields.columnCount())}));
    impl.values.push_back(impl.mac);
    impl.values.push_back(impl.sheetRow);
    for (const ValueSlot& slot : impl.slots) {
        const std::string_view value = slot.valueIn(impl.values);
        Phrase problem = unfitForXml(value);
        if (problem.empty() && slot.inCdata) problem = unfitForCdata(impl.format.encoding, value);
        if (problem.empty()) continue;
        //: %1 is a row, %2 a column (C), %3 an element of the template or a column's header,
        //: %4 what is wrong
        Phrase where{
            VELQUOR_TR_NOOP("core", "row %1, column %2 (%3): %4"),
            {std::to_string(sheetRow), columnLetters(slot.entry),
             slot.elementName.empty() ? headerOf(impl.fields, slot.entry) : slot.elementName}};
        impl.applied = false;
        return makeError(ErrorCode::InvalidInput,
                         support::withReason(std::move(where), problem.english(), problem));
    }
    impl.applied = true;
    impl.treeCurrent = false;
    return {};
}

support::Result<std::string> ConfigTemplate::serializeDocument() const {
    if (m_impl->compiled && m_impl->applied) {
        if (auto text = m_impl->compiled->render(m_impl->values)) return std::move(*text);
    }
    return serializeTree();
}

support::Result<std::string> ConfigTemplate::serializeTree() const {
    Impl& impl = *m_impl;
    if (impl.applied && !impl.treeCurrent) {
        std::vector<std::string> slotValues;
        slotValues.reserve(impl.slots.size());
        for (const ValueSlot& slot : impl.slots) slotValues.emplace_back(slot.valueIn(impl.values));
        if (!applyPlan(impl.plan, slotValues)) {
            return makeError(ErrorCode::Internal, "cannot set an attribute: out of memory");
        }
        impl.treeCurrent = true;
    }
    return serializeWithFormat(impl.doc, impl.format, impl.displayName);
}

bool ConfigTemplate::hasCompiledOutput() const {
    return m_impl->compiled.has_value();
}

support::Status ConfigTemplate::SaveDeviceFile(const std::string& path,
                                               support::Durability durability) const {
    auto text = serializeDocument();
    if (!text) return text.error();
    return support::writeFileAtomically(
        path, std::as_bytes(std::span<const char>(text->data(), text->size())), durability);
}

std::vector<std::string> ConfigTemplate::emptyElementsFor(const DeviceRow& row) const {
    const std::vector<std::string_view> cells(row.cells.begin(), row.cells.end());
    return emptyElementsFor(cells);
}

std::vector<std::string> ConfigTemplate::emptyElementsFor(
    std::span<const std::string_view> cells) const {
    std::vector<std::string> names;
    const auto emptyAt = [&cells](int entry) {
        const auto index = static_cast<std::size_t>(entry);
        return index >= cells.size() || cells[index].empty();
    };
    for (const SeedElement& rule : seedElements()) {
        const bool used =
            std::any_of(m_impl->plan.edits.begin(), m_impl->plan.edits.end(),
                        [&](const TextEdit& edit) { return edit.entry == rule.entry; });
        if (used && m_impl->fields.isSeedColumn(rule.entry) && emptyAt(rule.entry)) {
            names.push_back(std::string(rule.name) + " (" + columnLetters(rule.entry) + ")");
        }
    }
    // The sheet's own fields, by their headers; a placeholder's default fills an empty one.
    for (const FieldColumn& field : m_impl->fields.columns()) {
        if (!m_impl->plan.use.usedEntries.contains(field.entry) || !emptyAt(field.entry)) continue;
        const bool defaulted = std::any_of(
            m_impl->slots.begin(), m_impl->slots.end(), [&field](const ValueSlot& slot) {
                return slot.entry == field.entry && slot.fallback.has_value();
            });
        if (!defaulted) names.push_back(field.header + " (" + columnLetters(field.entry) + ")");
    }
    return names;
}

int ConfigTemplate::highestEntryNeeded() const {
    return m_impl->plan.highestEntry;
}

std::string ConfigTemplate::encodingName() const {
    return m_impl->format.encoding.empty() ? "UTF-8" : m_impl->format.encoding;
}

}  // namespace velquor::generator
