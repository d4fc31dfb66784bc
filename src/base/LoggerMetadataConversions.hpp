#pragma once
// Metadata values of the base library's own types, and metadata as a plain JSON object.

#include "base/HTTPStatusCode.hpp"
#include "base/JSONValue.hpp"
#include "base/LoggerMetadata.hpp"

namespace tarnix::base {

/// The status as an integer.
LoggerMetadataValue loggerMetadataValue(const HTTPStatusCode& status);

/// Numbers, text and booleans as themselves, null as nil, objects as dictionaries (in key
/// order), arrays as arrays. Call it by name: a JSONValue converts to many types implicitly.
LoggerMetadataValue loggerMetadataValue(const JSONValue& value);

/// The metadata as a JSON object of plain values (the shape crash reports carry): nested
/// dictionaries become objects, arrays arrays, nil null. A repeated key keeps its first value.
JSONValue metadataAsDictionary(const LoggerMetadata& metadata);

}  // namespace tarnix::base
