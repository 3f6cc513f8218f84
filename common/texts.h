// The service's messages to the user, formatted into messageText and shown through showError (a
// box in the window, an "ERROR: " line in quillan-run). Arrays, so printf formats stay checked.
#pragma once

// The local listener could not be set up.
inline constexpr char kSocketFailedText[] = "Cannot create local Socket. Error in socket(sL) : %d";
inline constexpr char kAddressInUseText[] = "Local server %s port %s is already in use!";
inline constexpr char kBindFailedText[] = "Error %d in local bind() to %s:%s";
inline constexpr char kListenFailedText[] = "Error %d in local listen() to %s:%s";
inline constexpr char kThreadFailedText[] = "Cannot start main thread. Error: %d.";

// The trial route failed at the proxy or behind it.
inline constexpr char kProxyUnreachableText[] = "Cannot connect to SOCKS5 Proxy server.";
inline constexpr char kTargetUnreachableText[] = "Cannot connect to Remote (target) server.";
