// The simulator's test classes, run by one executable.
#pragma once

class QObject;

QObject *makeEngineTests();
QObject *makeWindowTests();
QObject *makeCliTests();
QObject *makeCanTests();
