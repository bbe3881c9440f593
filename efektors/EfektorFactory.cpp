#include "EfektorFactory.h"

#include "Efektor.h"

#include <type_traits>

#if __has_include("PhaseEfektor.h")
#include "PhaseEfektor.h"
#define BEATLUME_HAVE_FUNCTION_EFEKTOR 1
#endif
#if __has_include("StepEfektor.h")
#include "StepEfektor.h"
#define BEATLUME_HAVE_STEP_EFEKTOR 1
#endif
#if __has_include("curveEfektor.h")
#include "curveEfektor.h"
#define BEATLUME_HAVE_CURVE_EFEKTOR 1
#endif
#if __has_include("InitEfektor.h")
#include "InitEfektor.h"
#define BEATLUME_HAVE_INIT_EFEKTOR 1
#endif

namespace {

// One place that knows the four kinds; `Make` receives the kind's class as a null pointer.
template <typename Make> Efektor* byType(int type, Make make) {
    switch (type) {
#ifdef BEATLUME_HAVE_FUNCTION_EFEKTOR
    case Efektor::FunctionType:
        return make(static_cast<PhaseEfektor*>(nullptr));
#endif
#ifdef BEATLUME_HAVE_STEP_EFEKTOR
    case Efektor::StepType:
        return make(static_cast<StepEfektor*>(nullptr));
#endif
#ifdef BEATLUME_HAVE_CURVE_EFEKTOR
    case Efektor::CurveType:
        return make(static_cast<curveEfektor*>(nullptr));
#endif
#ifdef BEATLUME_HAVE_INIT_EFEKTOR
    case Efektor::InitType:
        return make(static_cast<InitEfektor*>(nullptr));
#endif
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
