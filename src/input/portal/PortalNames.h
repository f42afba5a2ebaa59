#pragma once

namespace portal {

inline constexpr char kService[] = "org.freedesktop.portal.Desktop";
inline constexpr char kObject[] = "/org/freedesktop/portal/desktop";
inline constexpr char kRemoteDesktopInterface[] = "org.freedesktop.portal.RemoteDesktop";
inline constexpr char kRequestInterface[] = "org.freedesktop.portal.Request";
inline constexpr char kSessionInterface[] = "org.freedesktop.portal.Session";
inline constexpr char kRequestPathPrefix[] = "/org/freedesktop/portal/desktop/request/";

inline constexpr unsigned kKeyboard = 1;
inline constexpr unsigned kPointer = 2;
// Remember the grant until the user revokes it.
inline constexpr unsigned kPersistUntilRevoked = 2;

} // namespace portal
