// The simulator's test classes, run by one executable.
#pragma once

class QObject;

QObject *makeEngineTests();
QObject *makeWindowTests();
QObject *makeWindowViewTests();
QObject *makeCliTests();
QObject *makeCanTests();
QObject *makeImageTests();
QObject *makePressTests();
QObject *makeReferenceTests();
QObject *makeDrawingTests();
QObject *makePanelKeyTests();
