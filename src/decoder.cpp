#include "decoder.h"

#include "channel.h"
#include "command.h"
#include "receivemanager.h"
#include "shared.h"

void dispatch(Channel& channel, const Command& command) {
    (void)channel;
    (void)command;
}

void thread_parser(ReceiveManager* manager) {
    while (manager->isRunning()) {
        manager->pause(std::chrono::milliseconds(10));
        while (std::unique_ptr<Command> command = manager->tryTake()) {
            dispatch(*manager->channel, *command);
        }
    }
    while (std::unique_ptr<Command> command = manager->tryTake()) {
        dispatch(*manager->channel, *command);
    }
}
