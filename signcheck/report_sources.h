// The source file names that the signature verifier's reports carry.
#pragma once

// The image reader, the signature containers and the image digests.
#define IMAGE_REPORT_SOURCE L".\\RUZozozUre"
// The signature record parser and the file verification.
#define CERTIFICATE_REPORT_SOURCE L".\\KVCheckCertificate"
