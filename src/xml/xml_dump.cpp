#include "xml/xml_dump.h"

#include <string_view>
#include <vector>

#include "platform/text.h"

namespace quobble {

const char* xml_node_type_name(XmlNodeType type) {
  switch (type) {
    case XmlNodeType::Null:
      return "Null";
    case XmlNodeType::Document:
      return "Document";
    case XmlNodeType::Element:
      return "Element";
    case XmlNodeType::Text:
      return "Text";
    case XmlNodeType::CData:
      return "CData";
    case XmlNodeType::Comment:
      return "Comment";
    case XmlNodeType::ProcessingInstruction:
      return "ProcessingInstruction";
    case XmlNodeType::Include:
      return "Include";
    case XmlNodeType::Doctype:
      return "Doctype";
    case XmlNodeType::EntityDecl:
      return "EntityDecl";
    case XmlNodeType::AttlistDecl:
      return "AttlistDecl";
    case XmlNodeType::ElementDecl:
      return "ElementDecl";
    case XmlNodeType::NotationDecl:
      return "NotationDecl";
  }
  return "Unknown";
}

namespace {

void AppendQuoted(std::string& out, const char16_t* text) {
  static constexpr char kHex[] = "0123456789ABCDEF";
  out.push_back('"');
  const char16_t* run = text;
  auto flush = [&](const char16_t* upTo) {
    if (upTo != run) out += Utf16ToUtf8(std::u16string_view(run, static_cast<size_t>(upTo - run)));
  };
  const char16_t* p = text;
  for (; *p != 0; ++p) {
    const char16_t c = *p;
    if (c >= 0x20 && c != u'"' && c != u'\\') continue;
    flush(p);
    run = p + 1;
    switch (c) {
      case u'"':
        out += "\\\"";
        break;
      case u'\\':
        out += "\\\\";
        break;
      case u'\n':
        out += "\\n";
        break;
      case u'\r':
        out += "\\r";
        break;
      case u'\t':
        out += "\\t";
        break;
      default:
        out += "\\x";
        out.push_back(kHex[(c >> 4) & 0xF]);
        out.push_back(kHex[c & 0xF]);
    }
  }
  flush(p);
  out.push_back('"');
}

void AppendLine(std::string& out, const XmlNode* node, size_t depth) {
  out.append(depth * 2, ' ');
  out += xml_node_type_name(node->type);
  if (node->name != nullptr) {
    out += " name=";
    AppendQuoted(out, node->name);
  }
  for (uint32_t i = 0; i < node->attribute_count; ++i) {
    const XmlAttribute* a = node->attributes[i];
    if (a == nullptr) continue;
    out += " @";
    AppendQuoted(out, a->name != nullptr ? a->name : u"");
    if (a->value != nullptr) {
      out += '=';
      AppendQuoted(out, a->value);
    }
  }
  if (node->value != nullptr) {
    out += " value=";
    AppendQuoted(out, node->value);
  }
  out += '\n';
}

}  // namespace

std::string dump_tree(const XmlNode* root) {
  std::string out;
  if (root == nullptr) return out;
  struct Frame {
    const XmlNode* node;
    uint32_t next;
  };
  std::vector<Frame> stack;
  AppendLine(out, root, 0);
  stack.push_back({root, 0});
  while (!stack.empty()) {
    Frame& top = stack.back();
    if (top.node->children == nullptr || top.next >= top.node->child_count) {
      stack.pop_back();
      continue;
    }
    const XmlNode* child = top.node->children[top.next++];
    if (child == nullptr) continue;
    AppendLine(out, child, stack.size());
    stack.push_back({child, 0});
  }
  return out;
}

}  // namespace quobble
