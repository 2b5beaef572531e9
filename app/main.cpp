// Telvik: one short exchange with a device, reported through the exit code.

#include <QCoreApplication>

int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    return 0;
}
