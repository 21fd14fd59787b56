#include "gallery.h"

namespace gallery {
namespace {

std::vector<Shot>& registry() {
    static std::vector<Shot> all;
    return all;
}

}  // namespace

void addShot(const QString& name, Factory make) {
    registry().push_back({name, std::move(make)});
}

const std::vector<Shot>& shots() {
    return registry();
}

}  // namespace gallery
