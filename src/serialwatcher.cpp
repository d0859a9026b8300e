#include "serialwatcher.h"
// placeholder until the watcher lands
SerialWatcher::SerialWatcher(std::string devDir) : devDir_(std::move(devDir)) {}
SerialWatcher::~SerialWatcher() {}
void SerialWatcher::start() {}
