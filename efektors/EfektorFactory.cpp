#include "EfektorFactory.h"

#include "Efektor.h"
#include "InitEfektor.h"
#include "PhaseEfektor.h"
#include "StepEfektor.h"
#include "curveEfektor.h"

#include <type_traits>

namespace {

// One place that knows the four kinds; `Make` receives the kind's class as a null pointer.
template <typename Make> Efektor* byType(int type, Make make) {
    switch (type) {
    case Efektor::FunctionType:
        return make(static_cast<PhaseEfektor*>(nullptr));
    case Efektor::StepType:
        return make(static_cast<StepEfektor*>(nullptr));
    case Efektor::CurveType:
        return make(static_cast<curveEfektor*>(nullptr));
    case Efektor::InitType:
        return make(static_cast<InitEfektor*>(nullptr));
    default:
        return nullptr;
    }
}

} // namespace

Efektor* EfektorFactory::create(int type, QLumacore* bridge, int messageNumber, QWidget* parent) {
    return byType(type, [&](auto* kind) -> Efektor* {
        using Kind = std::remove_pointer_t<decltype(kind)>;
        return new Kind(bridge, messageNumber, parent);
    });
}

Efektor* EfektorFactory::load(int type, QLumacore* bridge, int messageNumber, QWidget* parent,
                              QTextStream* body) {
    return byType(type, [&](auto* kind) -> Efektor* {
        using Kind = std::remove_pointer_t<decltype(kind)>;
        return new Kind(bridge, messageNumber, parent, body);
    });
}

Efektor* EfektorFactory::copy(QLumacore* bridge, QWidget* parent, Efektor* source) {
    if (!source)
        return nullptr;
    return byType(source->typeCode, [&](auto* kind) -> Efektor* {
        using Kind = std::remove_pointer_t<decltype(kind)>;
        auto* same = dynamic_cast<Kind*>(source);
        return same ? new Kind(bridge, parent, same) : nullptr;
    });
}
