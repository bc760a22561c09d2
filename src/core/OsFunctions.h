#pragma once
// Summaries and classification of DER certificates, and small byte helpers.

#include "core/CertificateInfo.h"

#include <string>

// Fills sn, CN, C, E, O, OU from the DER certificate; always true (a record
// is left unchanged when strder does not decode).
bool GetInfoEx(certificate_info_t* p, std::string& strder);
// True for a certificate whose key is id-ecPublicKey on the SM2 curve.
bool isgmcert(std::string& strcert0);
// The certificate's SubjectPublicKeyInfo in DER, or "".
std::string GetPubkey(std::string cert);
// Equality ignoring the case of ASCII letters.
bool caseinsensecompare(std::string strsrc, std::string strdes);
bool caseinsensecomparea(std::string strsrc, std::string strdes);
// Reverses ilen bytes starting istart bytes after src (nothing unless
// src is set, istart >= 0, ilen > 0 and istart < ilen).
void reversebyte(unsigned char* src, int istart, int ilen);
