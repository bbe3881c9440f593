#pragma once

class Efektor;
class QLumacore;
class QTextStream;
class QWidget;

// Builds an efektor of a given type code with the kind's own constructor: a new one, one read
// from a record body, or a copy of another efektor of the same kind. Null for a type code
// that is not 0 … 3.
namespace EfektorFactory {
Efektor* create(int type, QLumacore* bridge, int messageNumber, QWidget* parent);
Efektor* load(int type, QLumacore* bridge, int messageNumber, QWidget* parent, QTextStream* body);
Efektor* copy(QLumacore* bridge, QWidget* parent, Efektor* source);
} // namespace EfektorFactory
