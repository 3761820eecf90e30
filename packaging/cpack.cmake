# The two Debian packages, built by `make package` (cpack in the release build folder):
# velquor_VERSION_ARCH.deb and kestod_VERSION_ARCH.deb. Library dependencies come from
# dpkg-shlibdeps; only what no binary links (adduser for the service account) is named here.
set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME velquor)
set(CPACK_PACKAGE_VENDOR "Velquor Developers")
set(CPACK_PACKAGE_CONTACT "${VELQUOR_MAINTAINER}")
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_STRIP_FILES ON)
set(CPACK_COMPONENTS_ALL velquor kestod)

set(CPACK_DEB_COMPONENT_INSTALL ON)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SOURCE velquor)
set(CPACK_DEBIAN_PACKAGE_MAINTAINER "${VELQUOR_MAINTAINER}")
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)

set(CPACK_DEBIAN_VELQUOR_PACKAGE_NAME velquor)
set(CPACK_DEBIAN_VELQUOR_PACKAGE_SECTION utils)
# The dialogs show Chinese button texts, and the whole window is in Chinese on a Chinese
# desktop; without a CJK font they render as boxes. Qt's own translations put its standard
# buttons and dialogs in the window's language.
set(CPACK_DEBIAN_VELQUOR_PACKAGE_RECOMMENDS
    "fonts-wqy-zenhei | fonts-noto-cjk, qt6-translations-l10n")
set(CPACK_DEBIAN_VELQUOR_PACKAGE_SUGGESTS "kestod")
set(CPACK_COMPONENT_VELQUOR_DESCRIPTION
    "provisioning tools for networked SIP phones
From one XML configuration template and a spreadsheet of MAC addresses and
SIP accounts, Velquor writes one configuration file per phone, optionally
encrypted with a typed key. It also encrypts and decrypts single
configuration files, computes file digests, and registers phones' MAC
addresses with a Kesto provisioning server over TLS.
.
This package holds the desktop program velquor and the command-line
companion velquor-cli.")

set(CPACK_DEBIAN_KESTOD_PACKAGE_NAME kestod)
set(CPACK_DEBIAN_KESTOD_PACKAGE_SECTION net)
set(CPACK_DEBIAN_KESTOD_PACKAGE_DEPENDS "adduser")
set(CPACK_DEBIAN_KESTOD_PACKAGE_SUGGESTS "velquor")
set(CPACK_COMPONENT_KESTOD_DESCRIPTION
    "reference Kesto provisioning server
kestod answers the Kesto provisioning protocol over TLS on three ports:
logins, user accounts, and phone registrations by MAC address. It keeps
its CA, server certificate and SQLite database in one folder.
.
The package runs it as a systemd service under its own unprivileged
account, once an administrator has made its keys with 'kestod init'.")
set(CPACK_DEBIAN_VELQUOR_PACKAGE_CONTROL_EXTRA ${CMAKE_CURRENT_SOURCE_DIR}/debian/velquor/conffiles)
set(CPACK_DEBIAN_KESTOD_PACKAGE_CONTROL_EXTRA
    ${CMAKE_CURRENT_SOURCE_DIR}/debian/kestod/conffiles
    ${CMAKE_CURRENT_SOURCE_DIR}/debian/kestod/postinst
    ${CMAKE_CURRENT_SOURCE_DIR}/debian/kestod/prerm
    ${CMAKE_CURRENT_SOURCE_DIR}/debian/kestod/postrm)

include(CPack)
