BeforeAll {
    . (Join-Path $PSScriptRoot 'FakeWindows.ps1')
    . $SetupScriptPath

    # Console lines as "Colour|Text" so that text and colour are compared together.
    function Get-CompletionConsole {
        param([string]$ReportPath)
        return @(Get-ConsoleLines { Show-CompletionMessage -ReportPath $ReportPath } | ForEach-Object { '{0}|{1}' -f $_.Colour, $_.Text })
    }

    # Number of Unicode code points in a text.
    function Measure-CodePoints {
        param([string]$Text)
        $count = 0
        for ($i = 0; $i -lt $Text.Length; $i++) {
            if (-not [char]::IsLowSurrogate($Text[$i])) { $count++ }
        }
        return $count
    }

    $script:SuccessText = 'ติดตั้ง/ซ่อมแซมส่วนประกอบพื้นฐานเสร็จแล้ว'
    $script:AttentionText = 'ดำเนินการเสร็จแล้ว แต่มีบางรายการต้องตรวจสอบจากรายงานบน Desktop'
    $script:RestartText = 'กรุณารีสตาร์ต Windows ก่อนเข้าเกม'
    $script:Rule = '=' * 47
}

Describe 'Show-CompletionMessage' {
    BeforeEach {
        Reset-SetupState
        Use-ConsoleCapture
        # A player at the desktop. The test host's own session must not decide: in a
        # container whose session leader lies outside its process namespace it reads as 0.
        Mock Test-SessionCanShowMessageBox { $true }
        $script:box = $null
        Mock Show-MessageBox { $script:box = [pscustomobject]@{ Text = $Text; Caption = $Caption; Icon = $Icon } }
    }

    It 'after <Case> shows the <Form> form, the <Hint> hint and a box with the <Icon> icon' -ForEach @(
        @{ Case = 'a clean run'; Failures = @(); Warnings = @(); Restart = $false
            Form = 'success'; Hint = 'play'; Icon = 'Information'; ReportPath = 'C:\Users\Player\Desktop\ORVELLE-Diagnostic-20250614-093015.txt' }
        @{ Case = 'a run whose installer asked for a restart'; Failures = @(); Warnings = @(); Restart = $true
            Form = 'success'; Hint = 'restart'; Icon = 'Information'; ReportPath = 'C:\Users\Player\Desktop\ORVELLE-Diagnostic-20250614-093015.txt' }
        @{ Case = 'a run with warnings only'; Failures = @(); Warnings = @('DirectPlay: DISM exited with code 50.'); Restart = $false
            Form = 'success'; Hint = 'play'; Icon = 'Information'; ReportPath = 'C:\Users\Player\Desktop\ORVELLE-Diagnostic-20250614-093015.txt' }
        @{ Case = 'a failed run with its report in TEMP'; Failures = @('DirectX legacy runtime: download failed.'); Warnings = @(); Restart = $false
            Form = 'attention'; Hint = 'play'; Icon = 'Warning'; ReportPath = 'C:\Users\Player\AppData\Local\Temp\ORVELLE-Diagnostic-20250614-093015.txt' }
        @{ Case = 'a failed run that needs a restart'; Failures = @('.NET Framework 3.5: failed.', 'DirectX legacy runtime: failed.'); Warnings = @('DirectPlay: failed.'); Restart = $true
            Form = 'attention'; Hint = 'restart'; Icon = 'Warning'; ReportPath = 'C:\Users\Player\Desktop\ORVELLE-Diagnostic-20250614-093015.txt' }
    ) {
        foreach ($failure in $Failures) { $script:Failures.Add($failure) }
        foreach ($warning in $Warnings) { $script:Warnings.Add($warning) }
        $script:RestartRequired = $Restart
        $colour = @{ success = 'Green'; attention = 'Yellow' }[$Form]
        $banner = @{ success = '  INSTALLATION / REPAIR COMPLETED'; attention = '  COMPLETED WITH ITEMS THAT NEED ATTENTION' }[$Form]
        $hint = @{ play = 'Cyan|You can try opening the Cindral Online launcher now.'; restart = 'Yellow|Please restart Windows before opening the game.' }[$Hint]
        $text = @{ success = $SuccessText; attention = $AttentionText }[$Form]
        if ($Restart) { $text = $text + "`r`n" + $RestartText }

        $console = Get-CompletionConsole -ReportPath $ReportPath

        ($console -join "`n") | Should -BeExactly (@(
                '|'
                "$colour|$Rule"
                "$colour|$banner"
                "$colour|$Rule"
                "White|Diagnostic report: $ReportPath"
                $hint
                'Gray|This tool did not disable antivirus or add Defender exclusions.'
                '|') -join "`n")
        Should -Invoke Show-MessageBox -Exactly 1
        $box.Text | Should -BeExactly $text
        $box.Caption | Should -BeExactly 'ORVELLE GAME SUPPORT'
        $box.Icon | Should -BeExactly $Icon
    }

    It 'changes no run state' {
        $script:Failures.Add('DirectX legacy runtime: failed.')
        $script:RestartRequired = $true
        $null = Get-CompletionConsole -ReportPath 'C:\report.txt'
        @($script:Failures) | Should -Be @('DirectX legacy runtime: failed.')
        $script:Warnings.Count | Should -Be 0
        $script:RestartRequired | Should -BeTrue
    }

    It 'returns normally with the console summary intact when the box throws' {
        Mock Show-MessageBox { throw 'Showing a modal dialog box when the application is not running in UserInteractive mode is not a valid operation.' }
        $console = Get-CompletionConsole -ReportPath 'C:\report.txt'
        $console.Count | Should -Be 8
        $console[-2] | Should -BeExactly 'Gray|This tool did not disable antivirus or add Defender exclusions.'
        $console[-1] | Should -BeExactly '|'
    }
}

Describe 'The Thai texts of the message box' {
    It 'are stored exactly: <Name> has <CodePoints> code points' -ForEach @(
        @{ Name = 'the success text'; Variable = 'CompletionSuccessText'; Expected = 'ติดตั้ง/ซ่อมแซมส่วนประกอบพื้นฐานเสร็จแล้ว'; CodePoints = 41 }
        @{ Name = 'the attention text'; Variable = 'CompletionAttentionText'; Expected = 'ดำเนินการเสร็จแล้ว แต่มีบางรายการต้องตรวจสอบจากรายงานบน Desktop'; CodePoints = 63 }
        @{ Name = 'the restart text'; Variable = 'CompletionRestartText'; Expected = 'กรุณารีสตาร์ต Windows ก่อนเข้าเกม'; CodePoints = 33 }
    ) {
        $stored = (Get-Variable -Scope Script -Name $Variable).Value
        $stored | Should -BeExactly $Expected
        Measure-CodePoints $stored | Should -Be $CodePoints
    }

    It 'are UTF-8 in a script file that starts with a byte-order mark' {
        $bytes = [System.IO.File]::ReadAllBytes($SetupScriptPath)
        $bytes[0..2] | Should -Be @(0xEF, 0xBB, 0xBF)
        $hex = [System.BitConverter]::ToString($bytes)
        foreach ($text in @($SuccessText, $AttentionText, $RestartText)) {
            $hex.Contains([System.BitConverter]::ToString([System.Text.Encoding]::UTF8.GetBytes($text))) | Should -BeTrue -Because "the file holds '$text' as UTF-8"
        }
    }
}

Describe 'When no message box can be shown' {
    BeforeAll { $FakeMocksEnabled = Enable-FakeMocks Windows }
    BeforeEach {
        $machine = New-FakeWindows
        Use-FakeWindows $machine
        # On Linux Windows Forms is missing and the real function fails. On Windows a real
        # box would appear and wait for a click: it fails here as Windows Forms does in a
        # session without a desktop.
        if (Test-TestHostWindows) {
            Mock Show-MessageBox { throw 'Showing a modal dialog box when the application is not running in UserInteractive mode is not a valid operation.' }
        }
    }
    AfterEach { Reset-FakeWindows }

    It 'the box itself cannot be shown without Windows Forms' {
        if (Test-TestHostWindows) { Set-ItResult -Skipped -Because 'Windows Forms is present: a real box would appear and wait for a click' }
        { Show-MessageBox -Text $SuccessText -Caption 'ORVELLE GAME SUPPORT' -Icon Information } | Should -Throw
    }

    It 'the completion message writes only its console summary and returns' {
        $console = Get-CompletionConsole -ReportPath 'C:\report.txt'
        $console.Count | Should -Be 8
        $console[2] | Should -BeExactly 'Green|  INSTALLATION / REPAIR COMPLETED'
    }

    It 'a diagnostics-only run ends with the success form and exit code 0' {
        $script:exitCode = $null
        $console = @(Get-ConsoleLines { $script:exitCode = Invoke-SetupSequence -DiagnosticsOnly })
        $exitCode | Should -Be 0
        $report = @(Get-ChildItem -LiteralPath $machine.Desktop -Filter 'ORVELLE-Diagnostic-*.txt')
        $report.Count | Should -Be 1
        $texts = @($console | ForEach-Object { $_.Text })
        ($texts[-8..-1] -join "`n") | Should -BeExactly (@('', $Rule, '  INSTALLATION / REPAIR COMPLETED', $Rule, "Diagnostic report: $($report[0].FullName)",
                'You can try opening the Cindral Online launcher now.', 'This tool did not disable antivirus or add Defender exclusions.', '') -join "`n")
    }

    It 'a run stopped on Windows 8.1 (build 9600) ends with the attention form and exit code 1' {
        Reset-FakeWindows
        $machine = New-FakeWindows -Build 9600 -Caption 'Microsoft Windows 8.1 Pro' -DisplayVersion $null
        Use-FakeWindows $machine
        $script:exitCode = $null
        $console = @(Get-ConsoleLines { $script:exitCode = Invoke-SetupSequence })
        $exitCode | Should -Be 1
        $texts = @($console | ForEach-Object { $_.Text })
        $texts[-8..-1] | Should -Contain '  COMPLETED WITH ITEMS THAT NEED ATTENTION'
        $texts[-1] | Should -BeExactly ''
        @(Get-ChildItem -LiteralPath $machine.Desktop -Filter 'ORVELLE-Diagnostic-*.txt').Count | Should -Be 1
    }
}
