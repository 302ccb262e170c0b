#!/usr/bin/env python3
"""Takes an Authenticode signature (the PKCS#7 SignedData that `osslsigncode extract-signature
-pem` writes) apart into files that `openssl` reads, so that signing and its checks read defined
formats instead of a tool's report, whose wording changes between versions.

    authenticode-signature.py SIGNATURE.pem OUTPUT-FOLDER

Writes to OUTPUT-FOLDER:
  signer.pem          the certificate that made the signature (found by the issuer and serial
                      number its signer information names), PEM
  certificates.pem    every certificate the signature carries, PEM
  timestamp.der       the RFC 3161 time-stamp token of the signature, when it has one, DER
  timestamped.bin     the data that token stamps: the signature value itself; `openssl ts -verify
                      -token_in -in timestamp.der -data timestamped.bin` checks the token against it
Exits 1 with the reason on standard error when the signature is not of that shape.
"""

import base64
import os
import re
import sys

SIGNED_DATA = "1.2.840.113549.1.7.2"
RFC3161_COUNTER_SIGNATURE = "1.3.6.1.4.1.311.3.3.1"


def fail(reason):
    sys.exit("authenticode-signature: " + reason)


def read_element(data, offset):
    """One DER element at offset: (tag, start of content, end of content)."""
    if offset + 2 > len(data):
        fail("the signature ends inside an element")
    tag, length = data[offset], data[offset + 1]
    start = offset + 2
    if length & 0x80:
        count = length & 0x7F
        if count == 0 or count > 4 or start + count > len(data):
            fail("an element has a length DER does not allow")
        length = int.from_bytes(data[start:start + count], "big")
        start += count
    if start + length > len(data):
        fail("an element runs past the end of the signature")
    return tag, start, start + length


def children(data, start, end):
    """The elements inside a constructed element's content: (tag, element start, content start, end)."""
    found = []
    offset = start
    while offset < end:
        tag, content, stop = read_element(data, offset)
        found.append((tag, offset, content, stop))
        offset = stop
    return found


def object_identifier(encoded):
    first = encoded[0]
    parts = [min(first // 40, 2), first - 40 * min(first // 40, 2)]
    value = 0
    for byte in encoded[1:]:
        value = (value << 7) | (byte & 0x7F)
        if not byte & 0x80:
            parts.append(value)
            value = 0
    return ".".join(str(part) for part in parts)


def pem(der):
    lines = base64.b64encode(der).decode()
    return "-----BEGIN CERTIFICATE-----\n%s\n-----END CERTIFICATE-----\n" % "\n".join(
        lines[index:index + 64] for index in range(0, len(lines), 64))


def main():
    if len(sys.argv) != 3:
        sys.exit("usage: authenticode-signature.py SIGNATURE.pem OUTPUT-FOLDER")
    text = open(sys.argv[1], encoding="ascii", errors="replace").read()
    block = re.search(r"-----BEGIN PKCS7-----(.*?)-----END PKCS7-----", text, re.S)
    if block is None:
        fail("%s holds no PEM PKCS7 block" % sys.argv[1])
    data = base64.b64decode("".join(block.group(1).split()))
    output = sys.argv[2]
    os.makedirs(output, exist_ok=True)

    # ContentInfo { contentType, [0] SignedData }
    _, start, end = read_element(data, 0)
    content_info = children(data, start, end)
    if len(content_info) < 2 or object_identifier(data[content_info[0][2]:content_info[0][3]]) != SIGNED_DATA:
        fail("the signature is no PKCS#7 SignedData")
    signed_data_tag, _, signed_data_start, signed_data_end = children(data, content_info[1][2], content_info[1][3])[0]
    signed_data = children(data, signed_data_start, signed_data_end)
    # SignedData { version, digestAlgorithms, contentInfo, [0] certificates, [1] crls, signerInfos }
    certificates = [element for field in signed_data if field[0] == 0xA0
                    for element in children(data, field[2], field[3])]
    signer_infos = children(data, signed_data[-1][2], signed_data[-1][3])
    if signed_data_tag != 0x30 or len(signer_infos) != 1:
        fail("the signature has %d signers, where Authenticode has one" % len(signer_infos))

    # SignerInfo { version, issuerAndSerialNumber, digestAlgorithm, [0] signed attributes,
    #              digestEncryptionAlgorithm, encryptedDigest, [1] unsigned attributes }
    signer_info = children(data, signer_infos[0][2], signer_infos[0][3])
    issuer_and_serial = children(data, signer_info[1][2], signer_info[1][3])
    wanted = (data[issuer_and_serial[0][1]:issuer_and_serial[0][3]], data[issuer_and_serial[1][1]:issuer_and_serial[1][3]])
    signer = None
    with open(os.path.join(output, "certificates.pem"), "w", encoding="ascii") as every:
        for _, element, content, stop in certificates:
            every.write(pem(data[element:stop]))
            # Certificate { tbsCertificate { [0] version, serialNumber, signature, issuer, ... } }
            to_be_signed = children(data, *children(data, content, stop)[0][2:4])
            fields = to_be_signed[1:] if to_be_signed[0][0] == 0xA0 else to_be_signed
            if (data[fields[2][1]:fields[2][3]], data[fields[0][1]:fields[0][3]]) == wanted:
                signer = data[element:stop]
    if signer is None:
        fail("none of the %d certificates in the signature is the signer's" % len(certificates))
    with open(os.path.join(output, "signer.pem"), "w", encoding="ascii") as file:
        file.write(pem(signer))

    signature_value = [field for field in signer_info if field[0] == 0x04]
    if len(signature_value) != 1:
        fail("the signer information holds no signature value")
    for tag, _, content, stop in signer_info:
        if tag != 0xA1:
            continue
        for _, _, attribute_start, attribute_stop in children(data, content, stop):
            attribute = children(data, attribute_start, attribute_stop)
            if object_identifier(data[attribute[0][2]:attribute[0][3]]) != RFC3161_COUNTER_SIGNATURE:
                continue
            token = children(data, attribute[1][2], attribute[1][3])[0]
            with open(os.path.join(output, "timestamp.der"), "wb") as file:
                file.write(data[token[1]:token[3]])
            with open(os.path.join(output, "timestamped.bin"), "wb") as file:
                file.write(data[signature_value[0][2]:signature_value[0][3]])


main()
