## Completion message: the coloured console summary and the message box in Thai, shown only
## where somebody can answer it. Uses rights and Windows and the state. This part holds the
## Thai texts, so its byte-order mark matters.

#region Completion message

# Texts of the message box, shown as they stand (this file is UTF-8 with a byte-order mark).
$script:CompletionSuccessText = 'ติดตั้ง/ซ่อมแซมส่วนประกอบพื้นฐานเสร็จแล้ว'
$script:CompletionAttentionText = 'ดำเนินการเสร็จแล้ว แต่มีบางรายการต้องตรวจสอบจากรายงานบน Desktop'
$script:CompletionRestartText = 'กรุณารีสตาร์ต Windows ก่อนเข้าเกม'

# Shows a modal Windows Forms message box with an OK button and waits until it is closed.
# Throws when Windows Forms or an interactive desktop is unavailable.
function Show-MessageBox {
    param(
        [Parameter(Mandatory = $true)][string]$Text,
        [Parameter(Mandatory = $true)][string]$Caption,
        [Parameter(Mandatory = $true)][ValidateSet('Information', 'Warning')][string]$Icon
    )
    Add-Type -AssemblyName System.Windows.Forms
    $null = [System.Windows.Forms.MessageBox]::Show($Text, $Caption, [System.Windows.Forms.MessageBoxButtons]::OK, [System.Windows.Forms.MessageBoxIcon]$Icon)
}

# Ends a run that wrote its report: a coloured summary in the console, then a message box
# in Thai. Success form when no failure was recorded (warnings do not count), attention
# form otherwise; both ask for a restart when an installer needs one. No box in an
# unattended run or where nobody could answer it (Test-SessionCanShowMessageBox); a message
# box that cannot be shown is passed over silently.
function Show-CompletionMessage {
    param([string]$ReportPath)
    $rule = '=' * 47
    if ($script:Failures.Count -eq 0) {
        $colour = 'Green'
        $banner = '  INSTALLATION / REPAIR COMPLETED'
        $icon = 'Information'
        $boxText = $script:CompletionSuccessText
    } else {
        $colour = 'Yellow'
        $banner = '  COMPLETED WITH ITEMS THAT NEED ATTENTION'
        $icon = 'Warning'
        $boxText = $script:CompletionAttentionText
    }
    $restart = [bool]$script:RestartRequired

    Write-Host ''
    Write-Host $rule -ForegroundColor $colour
    Write-Host $banner -ForegroundColor $colour
    Write-Host $rule -ForegroundColor $colour
    Write-Host ('Diagnostic report: {0}' -f $ReportPath) -ForegroundColor White
    if ($restart) {
        Write-Host 'Please restart Windows before opening the game.' -ForegroundColor Yellow
    } else {
        Write-Host 'You can try opening the Cindral Online launcher now.' -ForegroundColor Cyan
    }
    Write-Host 'This tool did not disable antivirus or add Defender exclusions.' -ForegroundColor Gray
    Write-Host ''

    if ($script:RunUnattended -or -not (Test-SessionCanShowMessageBox)) {
        return
    }
    if ($restart) {
        $boxText = $boxText + "`r`n" + $script:CompletionRestartText
    }
    try {
        Show-MessageBox -Text $boxText -Caption $script:ToolName -Icon $icon
    } catch {
        # No box without Windows Forms or a desktop; the console summary already stands.
    }
}
#endregion
