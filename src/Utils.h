#pragma once
// JSON reading and writing as every command and result uses them.

#include <json/json.h>

#include <string>

// Strict reading: no comments, the root must be an object or an array.
bool JsonParseStrict(const std::string& text, Json::Value& root);

// Compact text with members in sorted key order and a final line feed.
// String bytes are passed through unchanged (not re-encoded as UTF-8), so
// GB2312 names and binary text reach the page as they are.
std::string JsonWriteCompact(const Json::Value& value);
