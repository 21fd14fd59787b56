// Common base of the program's data objects. Carries nothing yet; it lets other modules reach a
// data object through qt_metacast("kivo::BaseData") without knowing its class.
#pragma once

namespace kivo {

class BaseData {};

}  // namespace kivo
