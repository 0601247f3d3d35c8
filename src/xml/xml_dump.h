#pragma once
#include <string>

#include "xml/xml_document.h"

namespace quobble {

// The name of a node type as the dump prints it ("Element", "Text", ...).
const char* xml_node_type_name(XmlNodeType type);

// One line per node in document order, two spaces per depth level:
//   TYPE[ name="N"][ @"A"="V" ...][ value="V"]
// Strings are quoted: \\, \", \n, \r, \t, \xHH below 0x20, the rest as UTF-8.
// No recursion: deep trees dump as well as shallow ones.
std::string dump_tree(const XmlNode* root);

}  // namespace quobble
