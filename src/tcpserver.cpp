#include "tcpserver.h"
// placeholder until the server lands
TcpServer::TcpServer(uint16_t port, std::string bindAddress)
    : port_(port), bindAddress_(std::move(bindAddress)) {}
TcpServer::~TcpServer() {}
bool TcpServer::listen() {
    return true;
}
void TcpServer::connect() {}
