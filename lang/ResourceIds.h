/*
 * Identifiers shared by the language resource scripts (lang/<tag>.rc) and the
 * port monitor UI that loads their dialogs and strings. Plain #defines only:
 * the file is read by windres as well as by the C++ compiler.
 */
#ifndef BW_LANG_RESOURCE_IDS_H
#define BW_LANG_RESOURCE_IDS_H

/* Dialog templates. */
#define IDD_PORTNAME            120
#define IDD_PORTCONFIG          121

/* Controls. */
#define IDC_PORTNAME            1000
#define IDC_ADDRESS             1001
#define IDC_PORTNUMBER          1002
#define IDC_TLS_ENABLE          1015
#define IDC_TLS_OPTION          1016
#define IDC_TLS_FRAME           1017
#define IDC_TLS_NOTE1           1018
#define IDC_TLS_NOTE2           1019

/* Strings. */
#define IDS_CAPTION             29003
#define IDS_BAD_PORT_NAME       29004
#define IDS_REMOTE_ADD          29005
#define IDS_REMOTE_CONFIGURE    29006
#define IDS_BAD_IP_ADDRESS      29007 /* one %s: the address */
#define IDS_BAD_HOST_NAME       29008 /* one %s: the address */
#define IDS_PORT_EXISTS         29009
#define IDS_BAD_PORT_NUMBER     29010
#define IDS_REMOTE_DELETE       29011

#endif
