#include "kivobridge/bridge.h"

namespace bg {

Value::Value(const char* text) : type_(Type::Text), text_(text ? text : "") {}

Value::Value(std::string text) : type_(Type::Text), text_(std::move(text)) {}

Value::Value(bool b) : type_(Type::Bool), bool_(b) {}

Value::Value(ValueMap map)
    : type_(Type::Map), map_(std::make_shared<const ValueMap>(std::move(map))) {}

std::string Value::toString(const std::string& fallback) const {
    return type_ == Type::Text ? text_ : fallback;
}

bool Value::toBool(bool fallback) const {
    return type_ == Type::Bool ? bool_ : fallback;
}

const ValueMap& Value::toMap() const {
    static const ValueMap kEmpty;
    return type_ == Type::Map && map_ ? *map_ : kEmpty;
}

bool Value::operator==(const Value& o) const {
    if (type_ != o.type_) return false;
    switch (type_) {
        case Type::Empty:
            return true;
        case Type::Text:
            return text_ == o.text_;
        case Type::Bool:
            return bool_ == o.bool_;
        case Type::Map:
            return map_ == o.map_ || toMap() == o.toMap();
    }
    return false;
}

}  // namespace bg
