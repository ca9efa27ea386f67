/* The library's version record: an ELF note that the version reader finds by
 * its section name and note name. The numbers come from the build (the one
 * place the version is set). Layout of the descriptor: signature, structure
 * version, file version (most, least significant half), product version (most,
 * least), flags mask, flags, operating system, file type, subtype, date. */
    .section .note.dyadc.version,"a",@note
    .balign 4
    .long 6                     /* name size: "DYADC" and its NUL */
    .long 52                    /* descriptor size */
    .long 1                     /* note type: version record */
    .asciz "DYADC"
    .balign 4
    .long 0xFEEF04BD            /* signature */
    .long 0x00010000            /* structure version 1.0 */
    .long DYADC_VERSION_MAJOR   /* file version, most significant half */
    .long DYADC_VERSION_MINOR   /* file version, least significant half */
    .long DYADC_VERSION_MAJOR   /* product version, most significant half */
    .long DYADC_VERSION_MINOR   /* product version, least significant half */
    .long 0x3F                  /* flags mask */
    .long 0                     /* flags */
    .long 0                     /* operating system */
    .long 2                     /* file type: library */
    .long 0                     /* subtype */
    .long 0                     /* date, most significant half */
    .long 0                     /* date, least significant half */

    .section .note.GNU-stack,"",@progbits
