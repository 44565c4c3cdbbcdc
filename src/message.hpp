// The message reader: the text of one received message in, its user records
// or the reason it is rejected out. The listener and the fuzz target use it.
#pragma once

#include <optional>
#include <string>
#include <vector>

#include <libxml/tree.h>

#include "record.hpp"

struct MessageRead {
    std::vector<Record> records; // one per `user` element, in document order
    // The line that rejects a text that is not a document of the required
    // shape ("Error: ...\n"); "" for a message that was read.
    std::string rejection;
};
// Reads a NUL-terminated message. libxml2's own diagnostics about the text
// reach stderr as they come, escaped like every logged value.
MessageRead readUsers(const char* text);

// The parse of one message: what xmlReadMemory(text, strlen(text), "text.xml",
// NULL, 0) returns, without its cost per message. The caller frees the result.
xmlDocPtr readMessage(const char* text);
// The record of one `user` element.
Record readUser(xmlDocPtr doc, xmlNodePtr cur);
// A field element's value: xmlNodeListGetString(doc, element->children, 1) as
// long as its entities nest at most 40 deep, cut at FIELD_VALUE_MAX bytes on a
// character boundary; none where that gives none.
std::optional<std::string> fieldValue(xmlDocPtr doc, xmlNodePtr element);
