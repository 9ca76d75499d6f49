#include "dynamic_call.h"

#include "json_input.h"

#include <android/binder_ibinder.h>
#include <android/binder_parcel.h>
#include <android/binder_parcel_helpers.h>
#include <bgs/service_manager.h>

#include <limits>

namespace bgctl {

namespace {

using ::bgs::idl::Definition;
using ::bgs::idl::Field;
using ::bgs::idl::Literal;
using ::bgs::idl::Record;
using ::bgs::idl::Type;
using ::bgs::idl::TypeKind;

// ---- Arguments ----

// A field's starting value: its declared default, else its type's.
Value defaultValue(const Field& field) {
    Value value;
    if (field.type.kind == TypeKind::String && !field.type.nullable) value.text = "";
    if (!field.defaultValue) return value;
    const Literal& literal = *field.defaultValue;
    switch (literal.kind) {
        case Literal::Kind::Integer: value.integer = literal.integer; break;
        case Literal::Kind::Bool: value.boolean = literal.boolean; break;
        case Literal::Kind::String: value.text = literal.text; break;
        case Literal::Kind::Null: value.text.reset(); break;
    }
    return value;
}

// "PATH: message", or the message alone at the top.
bool failAt(const std::string& path, const std::string& message, std::string* error) {
    *error = path.empty() ? message : path + ": " + message;
    return false;
}

bool fromJson(const Definition& definition, const Type& type, const JsonValue& json, const std::string& path,
              Value* value, std::string* error);

bool recordFromJson(const Definition& definition, const Record& record, const JsonValue& json,
                    const std::string& path, Value* value, std::string* error) {
    if (json.kind != JsonValue::Kind::Object) {
        return failAt(path, std::string("expected a ") + record.name + " object, got " + json.kindName(), error);
    }
    value->elements.clear();
    for (const Field& field : record.fields) value->elements.push_back(defaultValue(field));
    std::vector<bool> given(record.fields.size(), false);
    for (const auto& [name, member] : json.members) {
        const std::string memberPath = path.empty() ? name : path + "." + name;
        size_t index = 0;
        while (index < record.fields.size() && record.fields[index].name != name) ++index;
        if (index == record.fields.size()) {
            std::string names;
            for (const Field& field : record.fields) names += (names.empty() ? "" : ", ") + field.name;
            return failAt(memberPath, "unknown field of " + record.name + " (its fields: " + names + ")", error);
        }
        if (given[index]) return failAt(memberPath, "given twice", error);
        given[index] = true;
        if (!fromJson(definition, record.fields[index].type, member, memberPath, &value->elements[index], error)) {
            return false;
        }
    }
    return true;
}

bool fromJson(const Definition& definition, const Type& type, const JsonValue& json, const std::string& path,
              Value* value, std::string* error) {
    const auto expected = [&](const std::string& what) {
        return failAt(path, "expected " + what + ", got " + json.kindName(), error);
    };
    switch (type.kind) {
        case TypeKind::Int32:
        case TypeKind::Int64: {
            if (json.kind != JsonValue::Kind::Number) return expected(typeName(type));
            bool parsed = false;
            if (type.kind == TypeKind::Int32) {
                int32_t narrow = 0;
                parsed = parseInt32(json.text, &narrow, error);
                value->integer = narrow;
            } else {
                parsed = parseInt64(json.text, &value->integer, error);
            }
            return parsed || failAt(path, *error, error);
        }
        case TypeKind::Bool:
            if (json.kind != JsonValue::Kind::Bool) return expected("true or false");
            value->boolean = json.boolean;
            return true;
        case TypeKind::String:
            if (json.kind == JsonValue::Kind::Null && type.nullable) {
                value->text.reset();
                return true;
            }
            if (json.kind != JsonValue::Kind::String) return expected(type.nullable ? "a string or null" : "a string");
            value->text = json.text;
            return true;
        case TypeKind::Record:
            return recordFromJson(definition, *definition.findRecord(type.name), json, path, value, error);
        case TypeKind::List: {
            if (json.kind != JsonValue::Kind::Array) return expected("an array of " + type.name);
            const Record& record = *definition.findRecord(type.name);
            value->elements.assign(json.items.size(), Value());
            for (size_t i = 0; i < json.items.size(); ++i) {
                if (!recordFromJson(definition, record, json.items[i], path + "[" + std::to_string(i) + "]",
                                    &value->elements[i], error)) {
                    return false;
                }
            }
            return true;
        }
        case TypeKind::Interface:
        case TypeKind::Void:
            break;
    }
    return failAt(path, "a " + typeName(type) + " cannot be given here", error);
}

bool parseArgument(const Method& method, const Type& type, const std::string& text, Value* value,
                   std::string* error) {
    switch (type.kind) {
        case TypeKind::Int32: {
            int32_t narrow = 0;
            const bool parsed = parseInt32(text, &narrow, error);
            value->integer = narrow;
            return parsed;
        }
        case TypeKind::Int64:
            return parseInt64(text, &value->integer, error);
        case TypeKind::Bool:
            if (text != "true" && text != "false") {
                *error = "'" + text + "' is not a bool (true or false)";
                return false;
            }
            value->boolean = text == "true";
            return true;
        case TypeKind::String:
            if (type.nullable && text == "null") {
                value->text.reset();
            } else {
                value->text = text;
            }
            return true;
        case TypeKind::Record:
        case TypeKind::List: {
            JsonValue json;
            if (!parseJson(text, &json, error)) {
                *error = "not JSON: " + *error;
                return false;
            }
            return fromJson(*method.definition, type, json, "", value, error);
        }
        case TypeKind::Interface:
            // A reference made here would be an object of this process,
            // which ends right after the call: the service would hold a dead
            // reference. Only null (none) can be sent.
            if (text == "null") return true;
            *error = method.definition->packageName() == builtinDefinition().packageName()
                             ? "a callback argument takes only 'null' (unregister); 'bgctl listen' registers one"
                             : "an interface argument (" + type.name + ") takes only 'null'";
            return false;
        case TypeKind::Void:
            break;
    }
    *error = "cannot be given";
    return false;
}

// ---- Writing, as the generated code writes ----

binder_status_t writeValue(AParcel* parcel, const Definition& definition, const Type& type, const Value& value);

struct RecordList {
    const Definition* definition;
    const Record* record;
    const std::vector<Value>* elements;
};

// A record value: the presence marker 1, then the size-prefixed body.
binder_status_t writeRecord(AParcel* parcel, const Definition& definition, const Record& record,
                            const Value& value) {
    binder_status_t status = AParcel_writeInt32(parcel, 1);
    const int32_t start = AParcel_getDataPosition(parcel);
    if (status == STATUS_OK) status = AParcel_writeInt32(parcel, 0);
    for (size_t i = 0; i < record.fields.size() && status == STATUS_OK; ++i) {
        status = writeValue(parcel, definition, record.fields[i].type, value.elements[i]);
    }
    if (status != STATUS_OK) return status;
    const int32_t end = AParcel_getDataPosition(parcel);
    AParcel_setDataPosition(parcel, start);
    AParcel_writeInt32(parcel, end - start);
    return AParcel_setDataPosition(parcel, end);
}

binder_status_t writeListElement(AParcel* parcel, const void* data, size_t index) {
    const auto* list = static_cast<const RecordList*>(data);
    return writeRecord(parcel, *list->definition, *list->record, (*list->elements)[index]);
}

binder_status_t writeValue(AParcel* parcel, const Definition& definition, const Type& type, const Value& value) {
    switch (type.kind) {
        case TypeKind::Int32: return AParcel_writeInt32(parcel, static_cast<int32_t>(value.integer));
        case TypeKind::Int64: return AParcel_writeInt64(parcel, value.integer);
        case TypeKind::Bool: return AParcel_writeBool(parcel, value.boolean);
        case TypeKind::String:
            return value.text ? ::ndk::AParcel_writeData(parcel, *value.text) : AParcel_writeString(parcel, nullptr, -1);
        case TypeKind::Record: return writeRecord(parcel, definition, *definition.findRecord(type.name), value);
        case TypeKind::List: {
            if (value.elements.size() > static_cast<size_t>(std::numeric_limits<int32_t>::max())) {
                return STATUS_BAD_VALUE;
            }
            const RecordList list{&definition, definition.findRecord(type.name), &value.elements};
            return AParcel_writeParcelableArray(parcel, &list, static_cast<int32_t>(value.elements.size()),
                                                writeListElement);
        }
        case TypeKind::Interface: return AParcel_writeStrongBinder(parcel, nullptr);
        case TypeKind::Void: break;
    }
    return STATUS_BAD_VALUE;
}

// ---- Reading, with every length from the peer bounded ----

binder_status_t readShown(const AParcel* parcel, const Definition& definition, const Type& type, Shown* shown);

Shown showBool(bool value) { return {value ? "true" : "false", value ? "true" : "false"}; }
Shown showNull() { return {"null", "null"}; }

Shown showDefault(const Field& field) {
    const Value value = defaultValue(field);
    switch (field.type.kind) {
        case TypeKind::Int32:
        case TypeKind::Int64: return show(value.integer);
        case TypeKind::Bool: return showBool(value.boolean);
        case TypeKind::String: return value.text ? show(*value.text) : showNull();
        default: return {"[]", "[]"};
    }
}

// A record value whose body may be shorter (later fields keep their
// defaults) or longer (the rest is skipped) than this definition's.
binder_status_t readRecord(const AParcel* parcel, const Definition& definition, const Record& record,
                           Shown* shown) {
    int32_t present = 0;
    int32_t size = 0;
    binder_status_t status = AParcel_readInt32(parcel, &present);
    if (status == STATUS_OK && present == 0) status = STATUS_UNEXPECTED_NULL;
    if (status == STATUS_OK) status = AParcel_readInt32(parcel, &size);
    if (status != STATUS_OK) return status;
    const int32_t start = AParcel_getDataPosition(parcel) - 4;
    if (size < 4 || start > std::numeric_limits<int32_t>::max() - size) return STATUS_BAD_VALUE;
    std::vector<Shown> fields;
    for (const Field& field : record.fields) fields.push_back(showDefault(field));
    for (size_t i = 0; i < record.fields.size() && AParcel_getDataPosition(parcel) - start < size; ++i) {
        status = readShown(parcel, definition, record.fields[i].type, &fields[i]);
        if (status != STATUS_OK) return status;
    }
    status = AParcel_setDataPosition(parcel, start + size);
    if (status != STATUS_OK) return status;
    shown->text = record.name + "{";
    shown->json = "{";
    for (size_t i = 0; i < fields.size(); ++i) {
        shown->text += (i == 0 ? "" : ", ") + record.fields[i].name + ": " + fields[i].text;
        shown->json += (i == 0 ? "" : ",") + jsonString(record.fields[i].name) + ":" + fields[i].json;
    }
    shown->text += "}";
    shown->json += "}";
    return STATUS_OK;
}

struct ShownList {
    const Definition* definition;
    const Record* record;
    std::vector<Shown> elements;
};

bool reserveList(void* data, int32_t length) {
    if (length < 0) return false;  // a null list is refused
    // The count is bounded by the bytes left, not by what will decode:
    // elements are appended as they are read.
    static_cast<ShownList*>(data)->elements.reserve(std::min<size_t>(static_cast<size_t>(length), 256));
    return true;
}

binder_status_t readListElement(const AParcel* parcel, void* data, size_t index) {
    auto* list = static_cast<ShownList*>(data);
    if (index != list->elements.size()) return STATUS_BAD_VALUE;
    Shown element;
    const binder_status_t status = readRecord(parcel, *list->definition, *list->record, &element);
    if (status == STATUS_OK) list->elements.push_back(std::move(element));
    return status;
}

binder_status_t readShown(const AParcel* parcel, const Definition& definition, const Type& type, Shown* shown) {
    binder_status_t status = STATUS_BAD_VALUE;
    switch (type.kind) {
        case TypeKind::Int32: {
            int32_t value = 0;
            if ((status = AParcel_readInt32(parcel, &value)) == STATUS_OK) *shown = show(value);
            return status;
        }
        case TypeKind::Int64: {
            int64_t value = 0;
            if ((status = AParcel_readInt64(parcel, &value)) == STATUS_OK) *shown = show(value);
            return status;
        }
        case TypeKind::Bool: {
            bool value = false;
            if ((status = AParcel_readBool(parcel, &value)) == STATUS_OK) *shown = showBool(value);
            return status;
        }
        case TypeKind::String: {
            std::optional<std::string> value;
            status = type.nullable ? ::ndk::AParcel_readData(parcel, &value)
                                   : ::ndk::AParcel_readData(parcel, &value.emplace());
            if (status == STATUS_OK) *shown = value ? show(*value) : showNull();
            return status;
        }
        case TypeKind::Record:
            return readRecord(parcel, definition, *definition.findRecord(type.name), shown);
        case TypeKind::List: {
            ShownList list{&definition, definition.findRecord(type.name), {}};
            status = AParcel_readParcelableArray(parcel, &list, reserveList, readListElement);
            if (status != STATUS_OK) return status;
            shown->text = "[";
            shown->json = "[";
            for (size_t i = 0; i < list.elements.size(); ++i) {
                shown->text += (i == 0 ? "" : ", ") + list.elements[i].text;
                shown->json += (i == 0 ? "" : ",") + list.elements[i].json;
            }
            shown->text += "]";
            shown->json += "]";
            return STATUS_OK;
        }
        case TypeKind::Interface: {
            AIBinder* binder = nullptr;
            if ((status = AParcel_readStrongBinder(parcel, &binder)) != STATUS_OK) return status;
            const ::ndk::SpAIBinder held(binder);
            const char* descriptor = BgsBinder_getDescriptor(binder);
            *shown = binder == nullptr ? showNull()
                                       : Shown{"binder " + printable(descriptor ? descriptor : ""),
                                               jsonString(descriptor ? descriptor : "")};
            return STATUS_OK;
        }
        case TypeKind::Void:
            break;
    }
    return status;
}

}  // namespace

bool parseArguments(const Method& method, const std::vector<std::string>& texts, std::vector<Value>* values,
                    std::string* error) {
    values->assign(texts.size(), Value());
    size_t next = 0;
    for (const ::bgs::idl::Parameter& parameter : method.signature.parameters) {
        if (parameter.direction == ::bgs::idl::Direction::Out) continue;
        if (next == texts.size()) break;
        if (!parseArgument(method, parameter.type, texts[next], &(*values)[next], error)) {
            *error = upperName(parameter.name) + ": " + *error;
            return false;
        }
        ++next;
    }
    return true;
}

Outcome callMethod(AIBinder* binder, const Method& method, const std::vector<Value>& values) {
    Outcome outcome;
    ::ndk::UniqueAParcel request;
    ::ndk::UniqueAParcel reply;
    const ::bgs::idl::Method& signature = method.signature;
    binder_status_t status = AIBinder_prepareTransaction(binder, request.outPtr());
    size_t next = 0;  // the in-arguments are written, the out parameters are not
    for (const ::bgs::idl::Parameter& parameter : signature.parameters) {
        if (status != STATUS_OK || next == values.size()) break;
        if (parameter.direction == ::bgs::idl::Direction::Out) continue;
        status = writeValue(request.get(), *method.definition, parameter.type, values[next++]);
    }
    if (status == STATUS_OK) {
        status = AIBinder_transact(binder, method.code, request.outPtr(), reply.outPtr(),
                                   method.oneway ? FLAG_ONEWAY : 0);
    }
    if (status == STATUS_OK && !method.oneway) {
        status = AParcel_readStatusHeader(reply.get(), outcome.status.outPtr());
        if (status == STATUS_OK && !outcome.status.isOk()) {
            return outcome;  // a failed status carries no out values and no result
        }
        for (const ::bgs::idl::Parameter& parameter : signature.parameters) {
            if (status != STATUS_OK) break;
            if (parameter.direction != ::bgs::idl::Direction::Out) continue;
            Shown value;
            status = readShown(reply.get(), *method.definition, parameter.type, &value);
            if (status == STATUS_OK) outcome.outs.emplace_back(parameter.name, std::move(value));
        }
        if (status == STATUS_OK && signature.result.kind != TypeKind::Void) {
            Shown result;
            status = readShown(reply.get(), *method.definition, signature.result, &result);
            if (status == STATUS_OK) outcome.result = std::move(result);
        }
        // A reply cut short shows none of what was read before the fault.
        if (status != STATUS_OK) outcome.outs.clear();
    }
    outcome.status = ::ndk::UniqueAStatus::fromStatus(status);
    return outcome;
}

}  // namespace bgctl
