// SPDX-License-Identifier: MIT
#include "kine/KPort.h"

#include <cstring>

KPort::KPort() {
    portName[0] = '\0';
    deviceVersion[0] = '\0';
    deviceSerial[0] = '\0';
}

KPort::~KPort() {}

bool KPort::storeField(char (&field)[kFieldSize], const char* text) {
    if (text == nullptr) text = "";
    size_t n = strnlen(text, kFieldSize + 1);
    size_t copied = n < kFieldSize ? n : kFieldSize;
    std::memcpy(field, text, copied);
    std::memset(field + copied, 0, kFieldSize - copied);
    return n <= kFieldSize;
}

bool KPort::storeField(char (&field)[kFieldSize], const std::string& text) {
    size_t copied = text.size() < kFieldSize ? text.size() : kFieldSize;
    std::memcpy(field, text.data(), copied);
    std::memset(field + copied, 0, kFieldSize - copied);
    return text.size() <= kFieldSize;
}

std::string KPort::readField(const char (&field)[kFieldSize]) { return std::string(field, strnlen(field, kFieldSize)); }
