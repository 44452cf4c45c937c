; main.asm: the reset vector, the main loop and the banner text of the
; counter. pcall and pgoto select the target's page, then call or jump.
pcall   macro   target
        pagesel target
        call    target
        endm
pgoto   macro   target
        pagesel target
        goto    target
        endm

        section .code
        global  start
start   pcall   display_init
        banksel count
        clrf    count
loop    pcall   increment
        pcall   show
        pgoto   loop

        section reset
        pgoto   start

        section .idata
        global  banner
banner  db      "COUNTER", 0
        end
