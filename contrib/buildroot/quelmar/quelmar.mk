################################################################################
#
# quelmar
#
################################################################################

# SPDX-License-Identifier: ISC
QUELMAR_VERSION = 0.1.0
# The source tree this package directory belongs to (contrib/buildroot/quelmar);
# its build directories are left out of the copy.
QUELMAR_SITE = $(QUELMAR_PKGDIR)/../../..
QUELMAR_SITE_METHOD = local
QUELMAR_OVERRIDE_SRCDIR_RSYNC_EXCLUSIONS = --exclude /build
QUELMAR_LICENSE = ISC
QUELMAR_LICENSE_FILES = LICENSE

# Never whatever libzvapi the toolchain happens to hold: the menu decides.
ifeq ($(BR2_PACKAGE_QUELMAR_VENDOR_ZVAPI),y)
QUELMAR_CONF_OPTS += -DQUELMAR_ZVAPI=VENDOR
else
QUELMAR_CONF_OPTS += -DQUELMAR_ZVAPI=STANDIN
endif

define QUELMAR_INSTALL_INIT_SYSV
	$(INSTALL) -D -m 0755 $(@D)/contrib/busybox/S50quelmar \
		$(TARGET_DIR)/etc/init.d/S50quelmar
endef

$(eval $(cmake-package))
