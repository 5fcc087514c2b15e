#include "braskrepair.h"

#include <QApplication>

int main(int argc, char *argv[])
{
    QApplication app(argc, argv);
    BraskRepair window;
    window.show();
    return app.exec();
}
