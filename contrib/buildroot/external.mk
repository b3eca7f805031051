# SPDX-License-Identifier: ISC
include $(BR2_EXTERNAL_QUELMAR_PATH)/quelmar/quelmar.mk
