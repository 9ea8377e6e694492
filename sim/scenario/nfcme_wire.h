/*
 * What the NFC-ME firmware stand-ins show on the wire, written once for
 * both of them: the in-process model (SimModel.cpp, C++) and the
 * kernel-mode driver (sim/driver/nfcmesim.c, C without a runtime).
 *
 * The shipped ports keep their own copies of the GUIDs and IOCTL codes
 * (HeciPort.h, HeciPortWin32.h): product code never includes a stand-in's
 * header, and a stand-in that merely echoed the product's constants could
 * not catch a wrong one.
 *
 * Plain C, macros and static constants only, so that it needs no library.
 */
#ifndef NFCME_WIRE_H
#define NFCME_WIRE_H

/* HECI device interface class {E2D1FF34-3458-49A9-88DA-8E6915CE9BE5}, as
 * the initialiser of a GUID. */
#define NFCME_WIRE_HECI_INTERFACE_CLASS \
  { 0xE2D1FF34, 0x3458, 0x49A9, { 0x88, 0xDA, 0x8E, 0x69, 0x15, 0xCE, 0x9B, 0xE5 } }

/* The HECI driver's two IOCTLs; both answer 5 bytes. */
#define NFCME_WIRE_IOCTL_GET_VERSION 0x8000E000u
#define NFCME_WIRE_IOCTL_CONNECT_CLIENT 0x8000E004u
#define NFCME_WIRE_IOCTL_ANSWER_LENGTH 5u

/* NFC-ME client {D2DE1625-382D-417D-48A4-EFABBA8A1206} in the Windows GUID
 * byte layout, which is also the layout of the Linux connect request. */
static const unsigned char kNfcMeWireClientGuid[16] = {0x25, 0x16, 0xDE, 0xD2, 0x2D, 0x38, 0x7D, 0x41,
                                                       0x48, 0xA4, 0xEF, 0xAB, 0xBA, 0x8A, 0x12, 0x06};

/* The version query: the 10-byte maintenance header (dataSize 1) and
 * sub-command 1. Only these exact bytes are answered. */
static const unsigned char kNfcMeWireVersionQuery[11] = {0, 0, 0, 0, 0, 0, 0, 0, 1, 0, 1};

/* The default answer: the 10-byte header with dataSize 15, sub-command 1,
 * reply status 0 and these 13 record bytes, the last of them radio type 2
 * (25 bytes in all). A macro, so that C++ can initialise a std::array. */
#define NFCME_WIRE_DEFAULT_RECORD \
  { 0x01, 0x02, 0x03, 0x00, 0x00, 0x00, 0x04, 0x05, 0x06, 0x07, 0x08, 0x09, 0x02 }
#define NFCME_WIRE_RECORD_LENGTH 13u
#define NFCME_WIRE_HEADER_LENGTH 10u
#define NFCME_WIRE_DEFAULT_DATA_SIZE 15u
#define NFCME_WIRE_DEFAULT_RADIO_TYPE 2
#define NFCME_WIRE_DEFAULT_MAX_MESSAGE_LENGTH 512u

#endif
