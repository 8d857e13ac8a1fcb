#pragma once

// How a stored value is encoded in the settings file.
enum class TPropertyKind {
    String,
    Integer,
    Boolean,
    Enumeration,
    Float,
    StringList,
    Collection,
    ComponentReference,
};
