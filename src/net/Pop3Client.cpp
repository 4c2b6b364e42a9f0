// Pop3Client: status lines of a POP3 conversation.
#include "net/Pop3Client.h"

#include "platform/Text.h"

namespace pw::net {

bool Pop3Client::Ok() { return StartsWithNoCase(connection_.ReadLineText(), "+OK"); }

bool Pop3Client::Open(std::uint32_t address, std::uint16_t port) {
    connection_.ConnectIPv4(address, port);
    return Ok();
}

bool Pop3Client::Login(std::string_view user, std::string_view password) {
    return Command("USER " + std::string(user)) && Command("PASS " + std::string(password));
}

bool Pop3Client::Command(std::string_view command) {
    connection_.SendString(std::string(command) + "\r\n");
    return Ok();
}

void Pop3Client::Quit() { connection_.SendString("QUIT\r\n"); }

}  // namespace pw::net
