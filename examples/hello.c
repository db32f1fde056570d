/* 挨拶を表示するプログラム */
#include <stdio.h>
#include <wchar.h>

int main(void)
{
    // 表示する文字列
    puts("こんにちは、世界！");
    puts("表示ABC");          /* 表 ends in the byte 5C */
    printf("%s\n", "ｶﾀｶﾅ");
    wprintf(L"ワイド文字列\n");  /* wide literals are left alone */
    return 0;
}
