#include "EfektorListPlaceholder.h"

#include <QLabel>
#include <QVBoxLayout>

EfektorListPlaceholder::EfektorListPlaceholder(QLumacore* bridgeObject, QWidget* parent,
                                               FixtureSystem* fixtures)
    : QDialog(parent), bridge(bridgeObject), fixtureSystem(fixtures) {
    setWindowTitle("Efektors");
    resize(330, 420);
    auto* layout = new QVBoxLayout(this);
    auto* label = new QLabel("No efektors yet.", this);
    label->setAlignment(Qt::AlignCenter);
    layout->addWidget(label);
}
