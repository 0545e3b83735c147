#include <QApplication>

#include <memory>

#include "kelda.h"

int main(int argc, char *argv[])
{
    auto app = std::make_unique<QApplication>(argc, argv);
    auto window = std::make_unique<KELDA>();
    window->show();
    const int result = app->exec();
    // The window goes before the application object.
    window.reset();
    app.reset();
    return result;
}
